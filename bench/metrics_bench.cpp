// What recording a metric costs the thread that records: one counter
// increment with three tags (and the SDK's two default tags), alone and from
// several threads at once, with its heap allocations; and how the throughput
// of 8 threads compares with that of one on this machine.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "bench_support.h"
#include "skald/metrics.h"

namespace {

using namespace skald;

struct MetricsSetup {
    MetricsSetup() {
        options = std::make_shared<Options>();
        options->setDsn("https://0123456789abcdef0123456789abcdef@localhost:9/1");
        options->cacheDirectoryPath = (std::filesystem::temp_directory_path() /
                                       ("skald-metrics-bench-" + std::to_string(::getpid())))
                                          .string();
        options->enableMetrics = true;
        options->releaseName = "bench@1.0";
        // A real queue: the timer's flushes run while the threads record.
        hub = bench::hubWithoutSending(options,
                                       std::make_shared<DispatchQueueWrapper>("metrics-bench"));
        metrics = hub->metrics();
    }
    ~MetricsSetup() { std::filesystem::remove_all(options->cacheDirectoryPath); }

    std::shared_ptr<Options> options;
    std::shared_ptr<Hub> hub;
    std::shared_ptr<MetricsAPI> metrics;
};

MetricsSetup& setup() {
    static auto* instance = new MetricsSetup;
    return *instance;
}

const MetricsAPI::Tags kTags = {{"route", "/checkout"}, {"method", "POST"}, {"status", "200"}};

void BM_CounterIncrementThreeTags(benchmark::State& state) {
    auto& metrics = *setup().metrics;
    const uint64_t before = bench::allocationsOfThisThread();
    for (auto _ : state) metrics.increment("http.requests", 1, MeasurementUnit::none(), kTags);
    state.counters["allocs_per_increment"] =
        static_cast<double>(bench::allocationsOfThisThread() - before) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CounterIncrementThreeTags)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

struct Throughput {
    double perSecond;       // increments per wall-clock second, all threads together
    double cpuNsPerIncrement;  // CPU time of the whole process per increment
    double coresUsed;       // CPU seconds per wall-clock second
};

// For comparison: the same counter in one map behind one lock, as a plain
// aggregator would keep it (key text built and looked up the same way).
class OneLockCounter {
  public:
    void increment(const std::string& key, double value, const MetricsAPI::Tags& tags) {
        std::string bucketKey = "c";
        bucketKey += key;
        for (const auto& [name, tag] : tags) {
            bucketKey += name;
            bucketKey += tag;
        }
        std::lock_guard guard(lock_);
        values_[bucketKey] += value;
    }

  private:
    std::mutex lock_;
    std::unordered_map<std::string, double> values_;
};

// `threads` threads recording the same counter for `duration` through `record`.
template <typename Record>
Throughput throughput(int threads, std::chrono::milliseconds duration, Record& record) {
    std::atomic<bool> go{false}, stop{false};
    std::atomic<uint64_t> total{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            uint64_t count = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                for (int i = 0; i < 64; ++i) record();
                count += 64;
            }
            total.fetch_add(count);
        });
    }
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = skald::bench::processCpuSeconds();
    go = true;
    std::this_thread::sleep_for(duration);
    stop = true;
    for (auto& worker : workers) worker.join();
    const double cpu = skald::bench::processCpuSeconds() - cpuStart;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double increments = static_cast<double>(total.load());
    return {increments / seconds, cpu * 1e9 / increments, cpu / seconds};
}

// 1 and 8 threads in turn, five times each; the medians and the ratio of the
// throughputs. Where other processes share the cores, CPU time per increment
// tells contention (it grows with lock waits and cache-line transfers) apart
// from the share of the machine the process got (cores used).
// With argument 1 the comparison with one lock runs instead.
void BM_ThreadScaling(benchmark::State& state) {
    constexpr size_t kRounds = 5;
    auto& metrics = *setup().metrics;
    OneLockCounter oneLock;
    std::function<void()> record = [&] {
        metrics.increment("http.requests", 1, MeasurementUnit::none(), kTags);
    };
    if (state.range(0) == 1) {
        record = [&] { oneLock.increment("http.requests", 1, kTags); };
        state.SetLabel("one lock, for comparison");
    }
    for (auto _ : state) {
        std::array<Throughput, kRounds> one{}, eight{};
        for (size_t round = 0; round < kRounds; ++round) {
            one[round] = throughput(1, std::chrono::milliseconds(400), record);
            eight[round] = throughput(8, std::chrono::milliseconds(400), record);
        }
        auto median = [](const std::array<Throughput, kRounds>& runs, double Throughput::*member) {
            std::array<double, kRounds> values{};
            for (size_t i = 0; i < kRounds; ++i) values[i] = runs[i].*member;
            std::sort(values.begin(), values.end());
            return values[kRounds / 2];
        };
        state.counters["per_s_1"] = median(one, &Throughput::perSecond);
        state.counters["per_s_8"] = median(eight, &Throughput::perSecond);
        state.counters["ratio_8_to_1"] = state.counters["per_s_8"] / state.counters["per_s_1"];
        state.counters["cpu_ns_1"] = median(one, &Throughput::cpuNsPerIncrement);
        state.counters["cpu_ns_8"] = median(eight, &Throughput::cpuNsPerIncrement);
        state.counters["cores_1"] = median(one, &Throughput::coresUsed);
        state.counters["cores_8"] = median(eight, &Throughput::coresUsed);
    }
}
BENCHMARK(BM_ThreadScaling)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
