#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace skald::test {

/// How a crashing child process ended.
struct VictimRun {
    /// The signal that ended it, or 0 when it exited.
    int signal = 0;
    int exitCode = 0;
    std::string output;
};

/// Runs the crash victim with `mode` against `directory` and waits for it
/// (at most `timeoutSeconds`, then kills it).
VictimRun runVictim(const std::filesystem::path& directory, const std::string& mode,
                    int timeoutSeconds = 30);

/// Runs the program `arguments[0]` with the rest as its arguments, its output
/// going to `outputPath`, and waits for it (at most `timeoutSeconds`, then kills
/// it).
VictimRun runProgram(const std::vector<std::string>& arguments,
                     const std::filesystem::path& outputPath, int timeoutSeconds = 30);

/// What a shell command prints on its standard output.
std::string commandOutput(const std::string& command);

/// The report files the victim left in "<directory>/Reports".
std::vector<std::filesystem::path> reportFiles(const std::filesystem::path& directory);

/// The only report, parsed; nullopt (with a test failure) otherwise.
std::optional<nlohmann::json> onlyReport(const std::filesystem::path& directory);

/// The thread marked "crashed" in a standard report.
const nlohmann::json* crashedThread(const nlohmann::json& report);

/// The symbol names of a thread's backtrace, in order.
std::vector<std::string> symbolNames(const nlohmann::json& thread);

/// Whether `names` holds `name`.
bool contains(const std::vector<std::string>& names, const std::string& name);

}  // namespace skald::test
