// What hang detection costs a host: the probe's round trip through a live
// main loop, the watchdog's CPU while nothing hangs, and taking every
// thread's stack when something does.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/anr_tracker.h"
#include "core/crash_wrapper.h"
#include "core/thread_inspector.h"
#include "platform/dispatch/serial_queue.h"
#include "skald/options.h"
#include "skald/platform/main_queue.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/thread_wrapper.h"

namespace {

using namespace std::chrono_literals;
using skald::platform::MainQueue;

/// A main loop on a thread of its own, registered as the main queue.
class LoopThread {
  public:
    LoopThread() : queue_(std::make_shared<skald::platform::SerialQueue>("bench-main")) {
        std::weak_ptr<skald::platform::SerialQueue> weak = queue_;
        MainQueue::registerLoop([weak](skald::platform::Block block) {
            if (auto queue = weak.lock()) queue->async(std::move(block));
        });
    }
    ~LoopThread() { MainQueue::unregisterLoop(); }

  private:
    std::shared_ptr<skald::platform::SerialQueue> queue_;
};

// One probe: posted from another thread, run by the loop, seen back.
void BM_ProbeRoundTripThroughTheMainLoop(benchmark::State& state) {
    LoopThread loop;
    std::mutex mutex;
    std::condition_variable answered;
    for (auto _ : state) {
        bool ran = false;
        MainQueue::async([&] {
            std::lock_guard lock(mutex);
            ran = true;
            answered.notify_one();
        });
        std::unique_lock lock(mutex);
        answered.wait(lock, [&] { return ran; });
    }
}
BENCHMARK(BM_ProbeRoundTripThroughTheMainLoop)->UseRealTime();

struct Foreground : skald::CrashWrapper {
    bool isApplicationInForeground() override { return true; }
};
struct Silent : skald::ANRTrackerListener {
    void anrDetected() override {}
    void anrStopped() override {}
};

/// CPU nanoseconds a thread of this process has used (schedstat's first field).
uint64_t threadCpuNanos(pid_t thread) {
    std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/schedstat");
    uint64_t nanos = 0;
    file >> nanos;
    return nanos;
}

pid_t threadNamed(const std::string& name) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
            const pid_t tid = std::stoi(entry.path().filename().string());
            if (skald::ThreadInspector::getThreadName(tid) == name) return tid;
        }
        std::this_thread::sleep_for(10ms);
    }
    return 0;
}

// The watchdog over a live loop for a few seconds: CPU per minute, both its
// own thread's and the main loop's share for answering the probes.
void BM_WatchdogCpuWhileNothingHangs(benchmark::State& state) {
    LoopThread loop;
    auto tracker = std::make_shared<skald::ANRTracker>(
        2.0, std::make_shared<Foreground>(), std::make_shared<skald::DispatchQueueWrapper>(),
        std::make_shared<skald::ThreadWrapper>(),
        std::make_shared<skald::DefaultCurrentDateProvider>());
    auto listener = std::make_shared<Silent>();
    tracker->addListener(listener);
    const pid_t watchdog = threadNamed("skald-app-hang");
    const pid_t mainLoop = threadNamed("bench-main");
    const double seconds = static_cast<double>(state.range(0));
    for (auto _ : state) {
        const uint64_t watchdogBefore = threadCpuNanos(watchdog);
        const uint64_t loopBefore = threadCpuNanos(mainLoop);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double perMinute = 60.0 / seconds / 1e6;
        state.counters["watchdog_cpu_ms_per_min"] =
            static_cast<double>(threadCpuNanos(watchdog) - watchdogBefore) * perMinute;
        state.counters["main_loop_cpu_ms_per_min"] =
            static_cast<double>(threadCpuNanos(mainLoop) - loopBefore) * perMinute;
    }
    // The next repetition must not find this watchdog by its name.
    tracker->clear();
    while (tracker->state() != skald::ANRTracker::State::NotRunning)
        std::this_thread::sleep_for(10ms);
}
BENCHMARK(BM_WatchdogCpuWhileNothingHangs)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

// Every thread's stack, with 20 other threads waiting; symbolicated (arg 1)
// as with `debug`, or addresses only (arg 0).
void BM_EveryThreadsStack(benchmark::State& state) {
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 20; ++i) {
        threads.emplace_back([&] {
            while (!done) std::this_thread::sleep_for(1ms);
        });
    }
    skald::Options options;
    options.debug = state.range(0) != 0;
    skald::ThreadInspector inspector(options);
    size_t listed = 0;
    for (auto _ : state) {
        const auto all = inspector.getCurrentThreadsWithStackTrace();
        listed = all.size();
        benchmark::DoNotOptimize(all.data());
    }
    state.counters["threads"] = static_cast<double>(listed);
    done = true;
    for (auto& thread : threads) thread.join();
}
BENCHMARK(BM_EveryThreadsStack)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
