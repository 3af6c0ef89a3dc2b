// What sampling costs a host.
//
//   profiler_bench                 one round of sampling over 20 threads (median
//                                  and worst), running and idle
//   profiler_bench --overhead [N]  CPU time of a CPU-bound workload on 8 threads
//                                  with the continuous profiler on and off,
//                                  alternated N times (default 7), as a ratio
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "profiling/profiler.h"
#include "profiling/sampling_profiler.h"
#include "profiling/thread_handle.h"

namespace {

using namespace std::chrono_literals;
using skald::profiling::Profiler;
using skald::profiling::ProfilerMode;
using skald::profiling::SamplingProfiler;

/// Threads that spin (running) or sleep (idle) until destroyed.
class Workers {
  public:
    Workers(int count, bool running) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, running] {
                double value = 1;
                while (!stop_.load(std::memory_order_relaxed)) {
                    if (running) {
                        for (int j = 0; j < 1000; ++j) value = std::sqrt(value + 2.0);
                    } else {
                        std::this_thread::sleep_for(1ms);
                    }
                }
                sink_ = value;
            });
        }
    }
    ~Workers() {
        stop_ = true;
        for (auto& thread : threads_) thread.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<double> sink_{0};
    std::vector<std::thread> threads_;
};

uint64_t threadCpuNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

// One round over 20 threads: wall time of the round, the sampler's own CPU
// time, and the longest time any sampled thread spent in its handler.
void BM_SampleRoundOfTwentyThreads(benchmark::State& state) {
    const bool running = state.range(0) != 0;
    Workers workers(20, running);
    size_t backtraces = 0;
    SamplingProfiler sampler([&](const skald::profiling::Backtrace&) { ++backtraces; }, 101);
    std::vector<double> rounds;
    uint64_t cpu = 0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        const uint64_t cpuStarted = threadCpuNanos();
        sampler.sampleOnce();
        cpu += threadCpuNanos() - cpuStarted;
        rounds.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started)
                .count());
    }
    std::sort(rounds.begin(), rounds.end());
    state.counters["median_us"] = rounds[rounds.size() / 2];
    state.counters["worst_us"] = rounds.back();
    state.counters["sampler_cpu_us"] =
        static_cast<double>(cpu) / 1000.0 / static_cast<double>(rounds.size());
    state.counters["longest_pause_us"] = static_cast<double>(sampler.longestPauseNanos()) / 1000.0;
    state.counters["backtraces_per_round"] =
        static_cast<double>(backtraces) / static_cast<double>(rounds.size());
}
BENCHMARK(BM_SampleRoundOfTwentyThreads)->Arg(1)->Arg(0)->Iterations(300)->UseRealTime();

// A fixed amount of work on 8 threads; gives the process CPU time it took.
uint64_t workload() {
    const double started = skald::bench::processCpuSeconds();
    std::vector<std::thread> threads;
    std::atomic<double> sink{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&sink] {
            double value = 1;
            for (int j = 0; j < 48'000'000; ++j) value = std::sqrt(value + 2.0);
            sink = sink + value;
        });
    }
    for (auto& thread : threads) thread.join();
    return static_cast<uint64_t>((skald::bench::processCpuSeconds() - started) * 1e9);
}

/// CPU time of the SDK's own threads ("skald-*"), in nanoseconds from the scheduler.
double ownThreadsCpuMillis() {
    double total = 0;
    for (const pid_t id : skald::profiling::ThreadHandle::allExceptCurrent()) {
        skald::profiling::ThreadHandle thread(id);
        const auto stat = thread.readStat();
        if (!stat || stat->name.rfind("skald-", 0) != 0) continue;
        if (const auto sched = thread.readSchedStat()) {
            total += static_cast<double>(sched->runNanos) / 1e6;
        }
    }
    return total;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int overhead(int pairs) {
    workload();  // warm up
    std::vector<double> off;
    std::vector<double> on;
    std::vector<double> ratios;
    std::vector<double> ownThreads;
    std::vector<double> rounds;
    uint64_t longestPause = 0;
    for (int i = 0; i < pairs; ++i) {
        const double plain = static_cast<double>(workload()) / 1e6;
        double profiled = 0;
        {
            Profiler profiler(ProfilerMode::Continuous);
            if (!profiler.isRunning()) {
                std::fputs("the profiler did not start\n", stderr);
                return 1;
            }
            profiled = static_cast<double>(workload()) / 1e6;
            if (auto sampler = Profiler::currentSampler()) {
                longestPause = std::max(longestPause, sampler->longestPauseNanos());
                rounds.push_back(static_cast<double>(sampler->numSamples()));
            }
            ownThreads.push_back(ownThreadsCpuMillis());
            profiler.stopForReason(skald::profiling::TruncationReason::Normal);
        }
        off.push_back(plain);
        on.push_back(profiled);
        ratios.push_back(profiled / plain);
        std::printf("pair %d: off %.1f ms CPU, on %.1f ms CPU, ratio %.4f\n", i + 1, plain,
                    profiled, profiled / plain);
    }
    std::printf(
        "median CPU off %.1f ms, on %.1f ms; ratio of medians %.4f; median of ratios %.4f\n",
        median(off), median(on), median(on) / median(off), median(ratios));
    std::printf("profiler's own threads: median %.2f ms CPU per run over %.0f rounds\n",
                median(ownThreads), median(rounds));
    std::printf("longest handler pause: %.1f us\n", static_cast<double>(longestPause) / 1000.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--overhead") == 0) {
        return overhead(argc >= 3 ? std::max(1, std::atoi(argv[2])) : 7);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
