// A host that lets the SDK turn diagnostics into events: diagnostic payload
// files it delivers, and its own CPU use watched against a budget.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "skald/skald.h"

namespace {

constexpr const char* kUsage = R"(usage: skald-diagnostics-host [options]

Starts the SDK (DSN from SKALD_DSN) with diagnostics on, does what the options
say in this order, then flushes.

  --debug                print the SDK's own log
  --raw-payload          attach each diagnostic's JSON to its events
  --cpu-budget SHARE     watch the process's CPU: SHARE of one core (e.g. 0.5)
  --window SECONDS       over this window (default 3)
  --payload FILE         deliver the diagnostic payloads in FILE (JSON)
  --spin SECONDS         keep one thread busy in diagnosticsHostSpin
  --wait SECONDS         then wait, for the watcher to report (default 2)
)";

__attribute__((noinline)) void diagnosticsHostSpin(std::chrono::duration<double> duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    uint64_t counter = 0;
    while (std::chrono::steady_clock::now() < end) {
        ++counter;
        asm volatile("" : "+r"(counter));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool debug = false;
    bool rawPayload = false;
    double budget = 0;
    double window = 3;
    double spin = 0;
    double wait = 2;
    std::vector<std::string> payloads;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--debug") {
            debug = true;
        } else if (arg == "--raw-payload") {
            rawPayload = true;
        } else if (arg == "--cpu-budget" && hasValue) {
            budget = std::atof(args[++i].c_str());
        } else if (arg == "--window" && hasValue) {
            window = std::atof(args[++i].c_str());
        } else if (arg == "--payload" && hasValue) {
            payloads.push_back(args[++i]);
        } else if (arg == "--spin" && hasValue) {
            spin = std::atof(args[++i].c_str());
        } else if (arg == "--wait" && hasValue) {
            wait = std::atof(args[++i].c_str());
        } else {
            std::fputs(kUsage, arg == "--help" ? stdout : stderr);
            return arg == "--help" ? 0 : 2;
        }
    }

    skald::SDK::startWithConfigureOptions([&](skald::Options& options) {
        options.debug = debug;
        options.enableMetricKit = true;
        options.enableMetricKitRawPayload = rawPayload;
        options.cpuExceptionBudget = budget;
        options.cpuExceptionWindow = window;
    });

    int status = 0;
    for (const auto& path : payloads) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        if (!skald::deliverDiagnosticPayloadsJson(text.str())) {
            std::fprintf(stderr, "not a diagnostic payload: %s\n", path.c_str());
            status = 1;
        }
    }
    if (spin > 0) {
        std::thread spinner([spin] { diagnosticsHostSpin(std::chrono::duration<double>(spin)); });
        spinner.join();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    skald::SDK::flush(5);
    skald::SDK::close();
    return status;
}
