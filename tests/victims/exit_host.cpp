// A host program that ends while the SDK is busy, for the tests of a clean
// exit. It prints "work done" when its own work is over, then ends the way
// its mode says; the test measures the time from that line to the exit.
//
//   skald-exit-host storm THREADS COUNT EXTRA_BYTES   captures from many threads, returns from main
//   skald-exit-host exit-from-thread COUNT            std::exit from a second thread while
//   capturing skald-exit-host sleep SECONDS                     one message, a pause, returns from
//   main
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "skald/skald.h"

namespace {

long statusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0) return std::atol(line.c_str() + length + 1);
    }
    return -1;
}

void say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

void start() {
    skald::SDK::startWithConfigureOptions([](skald::Options& options) {
        options.releaseName = "exit-host@1.0";
        options.debug = std::getenv("EXIT_HOST_DEBUG") != nullptr;
    });
}

int storm(int threads, int count, size_t extraBytes) {
    start();
    std::printf("idle-rss %ld\n", statusKilobytes("VmRSS"));
    const std::string extra(extraBytes, 'x');
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, count, &extra] {
            for (int i = 0; i < count; ++i) {
                skald::SDK::captureMessage(
                    "storm " + std::to_string(t) + "/" + std::to_string(i),
                    [&](skald::Scope& scope) { scope.setExtraValue(extra, "payload"); });
            }
        });
    }
    for (auto& worker : workers) worker.join();
    std::printf("peak-rss %ld\n", statusKilobytes("VmHWM"));
    say("work done");
    return 0;
}

int exitFromThread(int count) {
    start();
    for (int i = 0; i < count; ++i) skald::SDK::captureMessage("before exit " + std::to_string(i));
    std::atomic<bool> exiting{false};
    std::thread([&exiting] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        exiting = true;
        say("work done");
        std::exit(0);
    }).detach();
    // The main thread stays busy with the SDK while the other one exits.
    for (int i = 0;; ++i) {
        skald::SDK::captureMessage("during exit " + std::to_string(i));
        if (exiting) skald::SDK::addBreadcrumb(std::make_shared<skald::Breadcrumb>());
    }
}

int sleepThenReturn(double seconds) {
    start();
    skald::SDK::captureMessage("before the pause");
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    say("work done");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "storm") {
        return storm(std::atoi(args[1].c_str()), std::atoi(args[2].c_str()),
                     static_cast<size_t>(std::atol(args[3].c_str())));
    }
    if (args.size() == 2 && args[0] == "exit-from-thread") {
        return exitFromThread(std::atoi(args[1].c_str()));
    }
    if (args.size() == 2 && args[0] == "sleep") return sleepThenReturn(std::atof(args[1].c_str()));
    std::fprintf(stderr, "usage: skald-exit-host storm|exit-from-thread|sleep ...\n");
    return 2;
}
