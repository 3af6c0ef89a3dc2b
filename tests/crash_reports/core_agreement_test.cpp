// Every thread of a crash report against gdb's view of the core file of the
// same crash: a program with a dozen named threads, each blocked its own way,
// crashes five ways; for each thread the report must hold gdb's frames of
// the program's own code at the same addresses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "crash_reports/victim_runner.h"
#include "support/temp_directory.h"

namespace skald::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

bool haveGdb() {
    return commandOutput("command -v gdb").find("gdb") != std::string::npos;
}

struct GdbFrame {
    uint64_t pc = 0;
    /// With the functions inlined there, outermost last.
    std::string function;
    std::string innermost;
};

struct GdbThread {
    pid_t lwp = 0;
    /// Innermost first; for the crashed thread, only what lies below the
    /// signal frame (the crash itself, not the handler that reported it).
    std::vector<GdbFrame> frames;
    bool hadSignalFrame = false;
};

/// Parses `thread apply all bt` printed with addresses on every frame.
std::vector<GdbThread> parseBacktraces(const std::string& output) {
    std::vector<GdbThread> threads;
    std::istringstream lines(output);
    std::string line;
    const std::regex threadLine(R"(^Thread \d+ .*\(LWP (\d+)\)\)?:)");
    const std::regex frameLine(R"(^#\d+\s+0x([0-9a-f]+) in (.+?) \()");
    while (std::getline(lines, line)) {
        std::smatch match;
        if (std::regex_search(line, match, threadLine)) {
            threads.emplace_back();
            threads.back().lwp = static_cast<pid_t>(std::stol(match[1]));
        } else if (!threads.empty() && line.find("<signal handler called>") != std::string::npos) {
            // What came before was the reporting; the crash starts below.
            threads.back().frames.clear();
            threads.back().hadSignalFrame = true;
        } else if (!threads.empty() && std::regex_search(line, match, frameLine)) {
            const uint64_t pc = std::stoull(match[1], nullptr, 16);
            auto& frames = threads.back().frames;
            // gdb lists each function inlined at a call as a frame of its own,
            // at the same address; the stack holds one. (A recursion repeats
            // the address too, but in the same function.)
            if (!frames.empty() && frames.back().pc == pc && frames.back().innermost != match[2]) {
                frames.back().function += " / " + match[2].str();
            } else {
                frames.push_back({pc, match[2], match[2]});
            }
        }
    }
    return threads;
}

bool isOwnCode(const GdbFrame& frame) {
    return frame.function.find("zoo") != std::string::npos;
}

struct Crash {
    const char* mode;
    int signal;
};

/// Runs the victim with cores on, in `directory`; the core file's path, or
/// empty when the system put it elsewhere.
fs::path crashWithCore(const fs::path& directory, const std::string& mode, int* signal) {
    const pid_t child = ::fork();
    if (child == 0) {
        rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        ::setrlimit(RLIMIT_CORE, &unlimited);
        if (::chdir(directory.c_str()) != 0) ::_exit(126);
        const std::string output = (directory / "output.txt").string();
        std::freopen(output.c_str(), "w", stdout);
        ::execl(SKALD_THREADS_VICTIM_PATH, SKALD_THREADS_VICTIM_PATH, directory.c_str(),
                mode.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            ADD_FAILURE() << mode << ": the victim did not die in time";
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    *signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().filename().string().rfind("core", 0) == 0) return entry.path();
    }
    return {};
}

/// Thread id to the report's thread object.
std::map<pid_t, const json*> reportThreads(const json& report) {
    std::map<pid_t, const json*> threads;
    for (const auto& thread : report["crash"]["threads"]) {
        if (thread.contains("tid")) threads[thread["tid"].get<pid_t>()] = &thread;
    }
    return threads;
}

std::vector<uint64_t> reportAddresses(const json& thread) {
    std::vector<uint64_t> addresses;
    for (const auto& frame : thread["backtrace"]["contents"]) {
        addresses.push_back(frame["instruction_addr"].get<uint64_t>());
    }
    return addresses;
}

class CoreAgreement : public ::testing::TestWithParam<Crash> {};

TEST_P(CoreAgreement, EveryThreadHoldsGdbsOwnFrames) {
    if (!haveGdb()) GTEST_SKIP() << "gdb is not installed: no comparison with a core file";
    const Crash crash = GetParam();
    TempDirectory directory;
    int signal = 0;
    const fs::path core = crashWithCore(directory.path(), crash.mode, &signal);
    EXPECT_EQ(signal, crash.signal);
    if (core.empty()) {
        std::ifstream pattern("/proc/sys/kernel/core_pattern");
        std::string where;
        std::getline(pattern, where);
        GTEST_SKIP() << "no core file in the working folder (core_pattern is '" << where << "')";
    }
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);

    const std::string gdb = commandOutput(
        "gdb -batch -nx -ex 'set pagination off' -ex 'set print frame-info location-and-address' "
        "-ex 'set print frame-arguments none' -ex 'thread apply all bt' '" +
        std::string(SKALD_THREADS_VICTIM_PATH) + "' '" + core.string() + "' 2>/dev/null");
    const auto gdbThreads = parseBacktraces(gdb);
    ASSERT_GE(gdbThreads.size(), 12u) << gdb;
    const auto threads = reportThreads(*report);

    // Names, as the threads had them at the crash.
    std::set<std::string> names;
    for (const auto& [tid, thread] : threads) {
        if (thread->contains("name")) names.insert((*thread)["name"].get<std::string>());
    }
    for (const char* name :
         {"zoo-condition", "zoo-mutex", "zoo-semaphore", "zoo-read", "zoo-poll", "zoo-select",
          "zoo-sleep", "zoo-join", "zoo-joined", "zoo-busy", "zoo-recursion"}) {
        EXPECT_TRUE(names.count(name)) << crash.mode << ": no thread named " << name;
    }
    const bool onWorker =
        std::string(crash.mode) == "worker-segv" || std::string(crash.mode) == "stack-overflow";
    EXPECT_TRUE(names.count("zoo-main")) << "the main thread's name of a moment before the crash";
    if (onWorker) {
        EXPECT_TRUE(names.count("zoo-crasher"));
    }

    size_t ownFrames = 0;
    size_t found = 0;
    std::ostringstream perThread;
    for (const auto& gdbThread : gdbThreads) {
        const auto match = threads.find(gdbThread.lwp);
        ASSERT_NE(match, threads.end())
            << crash.mode << ": thread " << gdbThread.lwp << " is not in the report";
        const json& thread = *match->second;
        const bool crashed = thread.value("crashed", false);
        const auto addresses = reportAddresses(thread);
        const std::set<uint64_t> inReport(addresses.begin(), addresses.end());
        // Function names from the full symbol table: static functions and
        // anonymous namespaces included.
        std::map<uint64_t, std::string> symbolAt;
        for (const auto& frame : thread["backtrace"]["contents"]) {
            symbolAt[frame["instruction_addr"].get<uint64_t>()] = frame.value("symbol_name", "");
        }
        const long skipped = thread["backtrace"].value("skipped", 0L);

        std::vector<GdbFrame> frames = gdbThread.frames;
        if (skipped > 0) {
            // A stack too deep to keep whole: gdb's frames in the cut are the
            // ones the report counts as left out, and there are as many.
            const size_t keptInner = thread["backtrace"]["skipped_at"].get<size_t>();
            const size_t keptOuter = addresses.size() - keptInner;
            ASSERT_GT(frames.size(), keptInner + keptOuter);
            EXPECT_EQ(static_cast<size_t>(skipped), frames.size() - keptInner - keptOuter)
                << "the frames left out of thread " << gdbThread.lwp;
            frames.erase(frames.begin() + static_cast<long>(keptInner),
                         frames.end() - static_cast<long>(keptOuter));
        }
        size_t threadOwn = 0;
        size_t threadFound = 0;
        std::string missing;
        for (size_t i = 0; i < frames.size(); ++i) {
            if (!isOwnCode(frames[i])) continue;
            ++threadOwn;
            // A thread that kept running after the report (the busy one) is
            // somewhere else in its innermost function by the time of the core.
            const bool moved = frames[i].pc == frames.front().pc && !crashed &&
                               thread.value("name", "") == "zoo-busy";
            if (inReport.count(frames[i].pc) || moved) {
                ++threadFound;
                if (!moved) {
                    EXPECT_NE(symbolAt[frames[i].pc].find("zoo"), std::string::npos)
                        << crash.mode << ": no name for " << frames[i].function;
                }
            } else {
                missing += " " + frames[i].function;
            }
        }
        ownFrames += threadOwn;
        found += threadFound;
        perThread << "  " << thread.value("name", "?") << " (" << gdbThread.lwp
                  << "): " << threadFound << "/" << threadOwn << "\n";
        if (crashed) {
            EXPECT_EQ(threadFound, threadOwn)
                << crash.mode << ": the crashed thread lacks" << missing;
            EXPECT_GT(threadOwn, 0u);
        } else if (threadOwn > 0) {
            EXPECT_GE(threadFound * 100, threadOwn * 95)
                << crash.mode << ": thread " << thread.value("name", "?") << " lacks" << missing;
        }
    }
    ASSERT_GT(ownFrames, 0u);
    EXPECT_GE(found * 100, ownFrames * 95) << perThread.str();
    std::printf("%s: %zu of gdb's %zu own frames (%.1f %%)\n%s", crash.mode, found, ownFrames,
                100.0 * static_cast<double>(found) / static_cast<double>(ownFrames),
                perThread.str().c_str());
}

INSTANTIATE_TEST_SUITE_P(Crashes, CoreAgreement,
                         ::testing::Values(Crash{"main-segv", SIGSEGV},
                                           Crash{"worker-segv", SIGSEGV}, Crash{"abort", SIGABRT},
                                           Crash{"cpp-exception", SIGABRT},
                                           Crash{"stack-overflow", SIGSEGV}),
                         [](const auto& info) {
                             std::string name = info.param.mode;
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace skald::test
