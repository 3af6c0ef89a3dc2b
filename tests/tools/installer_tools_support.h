#pragma once

// Shared by the tests of the installer's helper programs: where the built
// programs are, private directories, and the download service as a process.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "skald/platform/task.h"
#include "skald/platform/tool_paths.h"

namespace skald::test {

namespace fs = std::filesystem;

/// A built helper program; the test fails when it was not built.
inline std::string builtTool(const std::string& name) {
    auto path = platform::ToolPaths::findHelper(name);
    EXPECT_TRUE(path) << name << " is not built beside the tests";
    return path.value_or("/nonexistent/" + name);
}

/// The Vantorel.app bundle built with the tools.
inline std::string builtApp() {
    for (const auto& dir : platform::ToolPaths::helperSearchDirectories()) {
        const fs::path candidate = fs::path(dir) / "Vantorel.app";
        if (fs::exists(candidate / "Contents" / "Info.plist")) return candidate.string();
    }
    ADD_FAILURE() << "Vantorel.app is not built beside the tests";
    return "/nonexistent/Vantorel.app";
}

/// A directory of the test's own, removed afterwards.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() /
                ("skald-tools-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDirectory() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

  private:
    fs::path path_;
};

/// This process's environment with some entries replaced.
inline std::map<std::string, std::string> environmentWith(
    const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos)
            environment[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) environment[name] = value;
    return environment;
}

/// Files and folders directly in `dir` whose names start with `prefix`.
inline size_t entriesStartingWith(const fs::path& dir, const std::string& prefix) {
    size_t count = 0;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind(prefix, 0) == 0) ++count;
    }
    return count;
}

/// skald-download-service running as a process with the given options.
class DownloadServiceProcess {
  public:
    explicit DownloadServiceProcess(const std::vector<std::string>& options) {
        task_.setLaunchPath(builtTool("skald-download-service"));
        task_.setArguments(options);
        task_.setStandardInput(platform::Task::Stream::NullDevice);
        output_ = platform::Pipe::make();
        task_.setStandardOutput(output_);
        task_.setStandardError(output_);
        if (auto error = task_.launch()) {
            ADD_FAILURE() << error->description();
            return;
        }
        // It prints "port N" once it serves.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (port_ == 0 && std::chrono::steady_clock::now() < end) {
            printed_ += output_->availableData(std::chrono::milliseconds(200));
            const auto at = printed_.find("\nport ");
            if (at != std::string::npos && printed_.find('\n', at + 1) != std::string::npos) {
                port_ = std::stoi(printed_.substr(at + 6));
            }
            if (output_->atEndOfFile()) break;
        }
        EXPECT_GT(port_, 0) << "the service did not start: " << printed_;
    }
    ~DownloadServiceProcess() {
        task_.terminate();
        task_.waitUntilExit();
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    /// Stops it with SIGTERM; its exit status.
    int stop() {
        task_.terminate();
        task_.waitUntilExit();
        return task_.terminationStatus();
    }

  private:
    platform::Task task_;
    std::shared_ptr<platform::Pipe> output_;
    std::string printed_;
    int port_ = 0;
};

}  // namespace skald::test
