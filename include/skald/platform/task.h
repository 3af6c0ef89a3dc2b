#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "skald/error.h"

namespace skald::platform {

/// One end of a child's standard output or error. Whatever the child writes
/// is collected as it arrives, so a child that writes much more than a pipe
/// holds never blocks, whether or not anybody reads yet.
class Pipe {
  public:
    static std::shared_ptr<Pipe> make();

    /// Everything not read yet, once every writer closed the pipe (the
    /// child and whatever it passed the pipe on to). Before the pipe was
    /// attached to a launched task this returns nothing at once.
    std::string readDataToEndOfFile();
    /// Waits up to `timeout` for bytes not read yet and returns them;
    /// empty when nothing came or the pipe ended.
    std::string availableData(std::chrono::milliseconds timeout);
    /// Whether every writer closed the pipe and all was read.
    bool atEndOfFile() const;

  private:
    friend class Task;
    friend struct PipeCollector;
    void append(const char* data, size_t length);
    void attach();
    void close();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string data_;
    bool attached_ = false;
    bool closed_ = false;
};

/// A child process run from an executable file with posix_spawn: the
/// program's path, its arguments and environment, and what its standard
/// streams are connected to. Launch once; wait for it or not.
class Task {
  public:
    /// What a standard stream of the child is connected to when no pipe is given.
    enum class Stream { Inherit, NullDevice };
    enum class TerminationReason { Exit, UncaughtSignal };

    Task() = default;
    /// A task that is still running keeps running; nobody waits for it.
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
    const std::string& launchPath() const { return launchPath_; }
    /// The arguments after the program's name (which is the launch path).
    void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
    /// The child's whole environment; unset, it inherits this process's.
    void setEnvironment(std::optional<std::map<std::string, std::string>> environment) {
        environment_ = std::move(environment);
    }
    /// Unset, the child starts in this process's working directory.
    void setCurrentDirectoryPath(std::string path) { currentDirectory_ = std::move(path); }

    void setStandardInput(Stream stream) { stdin_ = stream; }
    void setStandardOutput(std::shared_ptr<Pipe> pipe) { stdoutPipe_ = std::move(pipe); }
    void setStandardOutput(Stream stream) {
        stdoutPipe_.reset();
        stdout_ = stream;
    }
    void setStandardError(std::shared_ptr<Pipe> pipe) { stderrPipe_ = std::move(pipe); }
    void setStandardError(Stream stream) {
        stderrPipe_.reset();
        stderr_ = stream;
    }

    /// Starts the child. An error (domain kPosixErrorDomain) when it could
    /// not be started: no such file, not executable, launched already.
    std::optional<Error> launch();
    /// Waits until the child ended. Returns at once when it was never launched.
    void waitUntilExit();
    /// Waits at most `timeout`; whether the child ended.
    bool waitUntilExit(std::chrono::milliseconds timeout);
    bool isRunning();
    /// Sends SIGTERM to a running child.
    void terminate();

    /// The child's process id; 0 before launch.
    pid_t processIdentifier() const { return pid_; }
    /// The exit code, or the number of the signal that ended the child.
    int terminationStatus() const { return status_; }
    TerminationReason terminationReason() const { return reason_; }

    /// The outcome of `run`.
    struct Result {
        std::optional<Error> launchError;
        int status = 0;
        TerminationReason reason = TerminationReason::Exit;
        std::string standardOutput;
        std::string standardError;
        /// Launched, and exited normally with status 0.
        bool succeeded() const {
            return !launchError && reason == TerminationReason::Exit && status == 0;
        }
    };
    /// Runs `launchPath` with `arguments`, stdin from /dev/null, both outputs
    /// captured, and waits for it.
    static Result run(const std::string& launchPath, const std::vector<std::string>& arguments,
                      std::optional<std::map<std::string, std::string>> environment = std::nullopt);

  private:
    /// Collects the child's status if it ended; whether it did.
    bool reap();

    std::string launchPath_;
    std::vector<std::string> arguments_;
    std::optional<std::map<std::string, std::string>> environment_;
    std::string currentDirectory_;
    Stream stdin_ = Stream::Inherit;
    Stream stdout_ = Stream::Inherit;
    Stream stderr_ = Stream::Inherit;
    std::shared_ptr<Pipe> stdoutPipe_;
    std::shared_ptr<Pipe> stderrPipe_;

    std::mutex waitMutex_;
    pid_t pid_ = 0;
    bool launched_ = false;
    bool exited_ = false;
    int status_ = 0;
    TerminationReason reason_ = TerminationReason::Exit;
};

/// Starts a program detached from this process: in a session of its own
/// (no controlling terminal, not in our process group), standard input and
/// outputs on /dev/null unless `inheritOutput`, and reaped in the background
/// so that it never lingers as a zombie while we run. Gives its process id,
/// or the error that kept it from starting.
struct DetachedLaunch {
    pid_t pid = 0;
    std::optional<Error> error;
};
DetachedLaunch launchDetached(
    const std::string& launchPath, const std::vector<std::string>& arguments,
    const std::optional<std::map<std::string, std::string>>& environment = std::nullopt,
    bool inheritOutput = false);

}  // namespace skald::platform
