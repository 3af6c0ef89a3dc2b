#include "crash_reports/victim_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace skald::test {

VictimRun runVictim(const std::filesystem::path& directory, const std::string& mode,
                    int timeoutSeconds) {
    return runProgram({SKALD_CRASH_VICTIM_PATH, directory.string(), mode},
                      directory / ("output-" + mode + ".txt"), timeoutSeconds);
}

VictimRun runProgram(const std::vector<std::string>& arguments,
                     const std::filesystem::path& outputPath, int timeoutSeconds) {
    VictimRun run;
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "'" << outputPath.filename().string() << "' run did not end in time";
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    std::ifstream output(outputPath);
    std::stringstream text;
    text << output.rdbuf();
    run.output = text.str();
    return run;
}

std::string commandOutput(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return output;
    std::array<char, 4096> buffer{};
    while (size_t count = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) {
        output.append(buffer.data(), count);
    }
    return output;
}

std::vector<std::filesystem::path> reportFiles(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory / "Reports", error)) {
        if (entry.path().extension() == ".json") files.push_back(entry.path());
    }
    return files;
}

std::optional<nlohmann::json> onlyReport(const std::filesystem::path& directory) {
    const auto files = reportFiles(directory);
    if (files.size() != 1) {
        ADD_FAILURE() << "expected one report, found " << files.size();
        return std::nullopt;
    }
    std::ifstream input(files.front());
    std::stringstream text;
    text << input.rdbuf();
    const auto report = nlohmann::json::parse(text.str(), nullptr, false);
    if (report.is_discarded()) {
        ADD_FAILURE() << "the report is not JSON:\n" << text.str().substr(0, 2000);
        return std::nullopt;
    }
    return report;
}

const nlohmann::json* crashedThread(const nlohmann::json& report) {
    const auto& threads = report["crash"]["threads"];
    for (const auto& thread : threads) {
        if (thread.value("crashed", false)) return &thread;
    }
    return nullptr;
}

std::vector<std::string> symbolNames(const nlohmann::json& thread) {
    std::vector<std::string> names;
    for (const auto& frame : thread["backtrace"]["contents"]) {
        names.push_back(frame.value("symbol_name", ""));
    }
    return names;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace skald::test
