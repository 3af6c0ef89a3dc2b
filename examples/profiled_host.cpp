// A host whose work the SDK samples: three named threads run known
// functions, either inside one profiled transaction or under the continuous
// profiler.
//
// Usage: skald-profiled-host transaction SECONDS
//        skald-profiled-host continuous SECONDS
// The DSN comes from SKALD_DSN.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "skald/skald.h"

namespace {

std::atomic<bool> gStop{false};
std::atomic<double> gSink{0};

// Each worker spends its time in a function of its own, so that the samples
// can be told apart.
extern "C" __attribute__((noinline)) double profiledHostSpinAlpha(double seed) {
    double value = seed;
    for (int i = 0; i < 20000; ++i) value = std::sin(value) + 1.0001;
    return value;
}

extern "C" __attribute__((noinline)) double profiledHostSpinBeta(double seed) {
    double value = seed;
    for (int i = 0; i < 20000; ++i) value = std::sqrt(value * value + 1.5);
    return value;
}

extern "C" __attribute__((noinline)) double profiledHostSpinGamma(double seed) {
    double value = seed;
    for (int i = 0; i < 20000; ++i) value = std::cos(value) * 0.999 + 0.5;
    return value;
}

using SpinFunction = double (*)(double);

void work(const char* name, SpinFunction spin) {
    ::pthread_setname_np(::pthread_self(), name);
    double value = 1;
    while (!gStop.load(std::memory_order_relaxed)) {
        value = spin(value);
        // Some rest, so that the threads are also seen idle.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    gSink = value;
}

std::vector<std::thread> startWorkers() {
    std::vector<std::thread> workers;
    workers.emplace_back(work, "worker-alpha", profiledHostSpinAlpha);
    workers.emplace_back(work, "worker-beta", profiledHostSpinBeta);
    workers.emplace_back(work, "worker-gamma", profiledHostSpinGamma);
    return workers;
}

void stopWorkers(std::vector<std::thread>& workers) {
    gStop = true;
    for (auto& worker : workers) worker.join();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: skald-profiled-host transaction|continuous SECONDS\n", stderr);
        return 2;
    }
    const std::string mode = argv[1];
    const double seconds = std::atof(argv[2]);
    if ((mode != "transaction" && mode != "continuous") || seconds <= 0) {
        std::fputs("usage: skald-profiled-host transaction|continuous SECONDS\n", stderr);
        return 2;
    }
    skald::SDK::startWithConfigureOptions([&](skald::Options& options) {
        options.releaseName = "skald-profiled-host@1.0.0";
        options.debug = std::getenv("SKALD_DEBUG") != nullptr;
        if (mode == "transaction") {
            options.setTracesSampleRate(1.0);
            options.setProfilesSampleRate(1.0);
        }
    });

    const auto duration = std::chrono::duration<double>(seconds);
    if (mode == "transaction") {
        skald::ScopedSpan transaction(skald::SDK::startTransaction("profiled work", "task"));
        auto workers = startWorkers();
        std::this_thread::sleep_for(duration);
        stopWorkers(workers);
        transaction.finish();
    } else {
        skald::SDK::startProfiler();
        auto workers = startWorkers();
        std::this_thread::sleep_for(duration);
        stopWorkers(workers);
        skald::SDK::stopProfiler();
    }
    skald::SDK::flush(10);
    skald::SDK::close();
    std::puts("done");
    return 0;
}
