// The crashed thread's frames against what gdb says of the same crash.
#include <cxxabi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "crash_reports/victim_runner.h"
#include "support/temp_directory.h"

namespace skald::test {
namespace {

/// The name without its parameter list, demangled when it is mangled.
std::string baseName(const std::string& name) {
    std::string readable = name;
    int status = -1;
    if (char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status)) {
        if (status == 0) readable = demangled;
        std::free(demangled);
    }
    const auto paren = readable.find('(');
    std::string base = readable.substr(0, paren);
    while (!base.empty() && base.back() == ' ') base.pop_back();
    return base;
}

/// What gdb's "info symbol" says of each address, in order ("" when it
/// knows no symbol there).
std::vector<std::string> gdbSymbolNames(const std::string& output) {
    std::vector<std::string> names;
    std::istringstream lines(output);
    std::string line;
    const std::regex symbolLine(R"(^(\S+)( \+ \d+)? in section )");
    while (std::getline(lines, line)) {
        std::smatch match;
        if (std::regex_search(line, match, symbolLine)) {
            names.push_back(baseName(match[1]));
        } else if (line.rfind("No symbol matches", 0) == 0) {
            names.emplace_back();
        }
    }
    return names;
}

TEST(DebuggerAgreement, OwnFramesHaveTheNamesGdbGives) {
    TempDirectory directory;
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        ::close(output[0]);
        ::execl(SKALD_CRASH_VICTIM_PATH, SKALD_CRASH_VICTIM_PATH, directory.path().c_str(),
                "wait-after-report", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(output[1]);
    // The victim says when its report is on disk and then holds still.
    std::string said;
    char buffer[256];
    ssize_t count = 0;
    while (said.find("report-written") == std::string::npos &&
           (count = ::read(output[0], buffer, sizeof buffer)) > 0) {
        said.append(buffer, static_cast<size_t>(count));
    }
    ::close(output[0]);

    // The report is complete; the process still holds its crashed state.
    const auto report = onlyReport(directory.path());
    std::vector<std::pair<uint64_t, std::string>> ours;
    if (report) {
        const auto* crashed = crashedThread(*report);
        if (crashed != nullptr) {
            bool first = true;
            for (const auto& frame : (*crashed)["backtrace"]["contents"]) {
                const auto address = frame["instruction_addr"].get<uint64_t>();
                // Functions without an exported name have none at crash time.
                if (frame.value("object_name", "") == "skald-crash-victim" &&
                    frame.contains("symbol_name")) {
                    // Return addresses point after the call: ask about the call.
                    ours.emplace_back(first ? address : address - 1,
                                      baseName(frame["symbol_name"].get<std::string>()));
                }
                first = false;
            }
        }
    }
    std::string command = "gdb -nx -batch -p " + std::to_string(child);
    for (const auto& [address, name] : ours) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(address));
        command += " -ex 'info symbol " + std::string(hex) + "'";
    }
    const std::string answers = commandOutput(command + " 2>&1");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(report);
    if (answers.find("ptrace: Operation not permitted") != std::string::npos) {
        GTEST_SKIP() << "gdb may not attach here";
    }

    // The crashing function and main at least.
    ASSERT_GE(ours.size(), 2U) << report->dump().substr(0, 3000);
    const auto gdbNames = gdbSymbolNames(answers);
    ASSERT_EQ(gdbNames.size(), ours.size()) << answers;
    for (size_t i = 0; i < ours.size(); ++i) {
        EXPECT_EQ(ours[i].second, gdbNames[i]) << "frame " << i;
    }
    EXPECT_EQ(ours.front().second, "victimNullPointer");
}

}  // namespace
}  // namespace skald::test
