#include "skald/platform/task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/base/unique_fd.h"

extern char** environ;

namespace skald::platform {

namespace {

using namespace std::chrono_literals;

Error posixError(int code, const std::string& what, const std::string& path) {
    Error error = Error::posix(code, what);
    error.filePath = path;
    return error;
}

/// NULL-terminated arrays for exec that own their texts.
struct ExecStrings {
    std::vector<std::string> texts;
    std::vector<char*> pointers;

    char** finish() {
        pointers.clear();
        for (auto& text : texts) pointers.push_back(text.data());
        pointers.push_back(nullptr);
        return pointers.data();
    }
};

/// posix_spawn's attributes and file actions, released on every path.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;

    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
        // The child starts clean: no blocked signals, every disposition the
        // default (this process may ignore SIGPIPE or catch crash signals).
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }

    void closeInheritedDescriptors() {
        // Descriptors opened without close-on-exec by other threads must not
        // leak into children: a leaked pipe end would keep another reader
        // from ever seeing its end of file.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    }
    void nullDevice(int fd, int flags) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", flags, 0);
    }
};

ExecStrings environmentStrings(const std::optional<std::map<std::string, std::string>>& given) {
    ExecStrings strings;
    if (given) {
        for (const auto& [name, value] : *given) strings.texts.push_back(name + "=" + value);
    } else {
        for (char** entry = environ; entry && *entry; ++entry) strings.texts.emplace_back(*entry);
    }
    return strings;
}

ExecStrings argumentStrings(const std::string& path, const std::vector<std::string>& arguments) {
    ExecStrings strings;
    strings.texts.push_back(path);
    strings.texts.insert(strings.texts.end(), arguments.begin(), arguments.end());
    return strings;
}

/// Waits for `pid` on a thread of its own so that it leaves no zombie.
void reapInBackground(pid_t pid) {
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the child stays a zombie until we exit.
    }
}

}  // namespace

// MARK: - Pipe

std::shared_ptr<Pipe> Pipe::make() {
    return std::shared_ptr<Pipe>(new Pipe);
}

void Pipe::attach() {
    std::lock_guard guard(mutex_);
    attached_ = true;
    closed_ = false;
}

void Pipe::append(const char* data, size_t length) {
    std::lock_guard guard(mutex_);
    data_.append(data, length);
    changed_.notify_all();
}

void Pipe::close() {
    std::lock_guard guard(mutex_);
    closed_ = true;
    changed_.notify_all();
}

std::string Pipe::readDataToEndOfFile() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !attached_; });
    return std::exchange(data_, std::string());
}

std::string Pipe::availableData(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || !data_.empty(); });
    return std::exchange(data_, std::string());
}

bool Pipe::atEndOfFile() const {
    std::lock_guard guard(mutex_);
    return closed_ && data_.empty();
}

/// Drains the read ends of a child's pipes on a thread of its own, so that
/// neither a full pipe nor a slow reader can hold up the child.
struct PipeCollector {
    struct Source {
        unique_fd fd;
        std::shared_ptr<Pipe> pipe;
    };

    static void start(std::vector<Source> sources) {
        if (sources.empty()) return;
        // Shared, so that the sources are still here when no thread starts.
        auto shared = std::make_shared<std::vector<Source>>(std::move(sources));
        try {
            std::thread([shared] { drain(std::move(*shared)); }).detach();
        } catch (const std::system_error&) {
            drain(std::move(*shared));
        }
    }

    static void drain(std::vector<Source> sources) {
        char buffer[64 * 1024];
        while (!sources.empty()) {
            std::vector<pollfd> fds;
            for (const auto& source : sources) fds.push_back({source.fd.get(), POLLIN, 0});
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            for (size_t i = fds.size(); i-- > 0;) {
                if (fds[i].revents == 0) continue;
                const auto got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got > 0) {
                    sources[i].pipe->append(buffer, static_cast<size_t>(got));
                    continue;
                }
                if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                end(sources, i);
            }
        }
        while (!sources.empty()) end(sources, sources.size() - 1);
    }

    static void end(std::vector<Source>& sources, size_t index) {
        auto pipe = sources[index].pipe;
        sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(index));
        for (const auto& source : sources) {
            if (source.pipe == pipe) return;
        }
        pipe->close();
    }
};

// MARK: - Task

Task::~Task() {
    std::lock_guard guard(waitMutex_);
    if (launched_ && !exited_) reapInBackground(pid_);
}

std::optional<Error> Task::launch() {
    std::lock_guard guard(waitMutex_);
    if (launched_) return posixError(EALREADY, "The task was launched already", launchPath_);
    if (launchPath_.empty()) return posixError(ENOENT, "No launch path", launchPath_);

    SpawnSetup setup;
    // Every end left in here closes when launching fails.
    struct PipeEnds {
        std::shared_ptr<Pipe> pipe;
        unique_fd read;
        unique_fd write;
    };
    std::vector<PipeEnds> pipes;
    // One OS pipe per distinct Pipe: a Pipe given for both outputs keeps their order.
    auto connect = [&](const std::shared_ptr<Pipe>& pipe, int target) -> std::optional<Error> {
        for (auto& ends : pipes) {
            if (ends.pipe == pipe) {
                posix_spawn_file_actions_adddup2(&setup.actions, ends.write.get(), target);
                return std::nullopt;
            }
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return posixError(errno, "Could not create a pipe", launchPath_);
        }
        PipeEnds ends{pipe, unique_fd(fds[0]), unique_fd(fds[1])};
        posix_spawn_file_actions_adddup2(&setup.actions, ends.write.get(), target);
        pipes.push_back(std::move(ends));
        return std::nullopt;
    };

    if (stdin_ == Stream::NullDevice) setup.nullDevice(STDIN_FILENO, O_RDONLY);
    if (stdoutPipe_) {
        if (auto error = connect(stdoutPipe_, STDOUT_FILENO)) return error;
    } else if (stdout_ == Stream::NullDevice) {
        setup.nullDevice(STDOUT_FILENO, O_WRONLY);
    }
    if (stderrPipe_) {
        if (auto error = connect(stderrPipe_, STDERR_FILENO)) return error;
    } else if (stderr_ == Stream::NullDevice) {
        setup.nullDevice(STDERR_FILENO, O_WRONLY);
    }
    if (!currentDirectory_.empty()) {
        posix_spawn_file_actions_addchdir_np(&setup.actions, currentDirectory_.c_str());
    }
    setup.closeInheritedDescriptors();
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    auto argv = argumentStrings(launchPath_, arguments_);
    auto envp = environmentStrings(environment_);
    pid_t pid = 0;
    const int result = ::posix_spawn(&pid, launchPath_.c_str(), &setup.actions, &setup.attributes,
                                     argv.finish(), envp.finish());
    if (result != 0) {
        return posixError(result, "Could not launch " + launchPath_, launchPath_);
    }
    pid_ = pid;
    launched_ = true;

    std::vector<PipeCollector::Source> sources;
    for (auto& ends : pipes) {
        ends.write.reset();
        ends.pipe->attach();
        sources.push_back({std::move(ends.read), ends.pipe});
    }
    PipeCollector::start(std::move(sources));
    return std::nullopt;
}

bool Task::reap() {
    std::lock_guard guard(waitMutex_);
    if (!launched_) return true;
    if (exited_) return true;
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) return false;
    exited_ = true;
    if (result < 0) {
        // Somebody else reaped it: its status is lost.
        status_ = -1;
        return true;
    }
    if (WIFSIGNALED(status)) {
        reason_ = TerminationReason::UncaughtSignal;
        status_ = WTERMSIG(status);
    } else {
        reason_ = TerminationReason::Exit;
        status_ = WEXITSTATUS(status);
    }
    return true;
}

void Task::waitUntilExit() {
    pid_t pid;
    {
        std::lock_guard guard(waitMutex_);
        if (!launched_ || exited_) return;
        pid = pid_;
    }
    // Waits without the lock and without reaping, so that `terminate` from
    // another thread still gets through and never signals a reused id.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    reap();
}

bool Task::waitUntilExit(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    auto pause = 1ms;
    while (!reap()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return true;
}

bool Task::isRunning() {
    {
        std::lock_guard guard(waitMutex_);
        if (!launched_) return false;
    }
    return !reap();
}

void Task::terminate() {
    std::lock_guard guard(waitMutex_);
    // Once reaped, the id may belong to somebody else.
    if (launched_ && !exited_) ::kill(pid_, SIGTERM);
}

Task::Result Task::run(const std::string& launchPath, const std::vector<std::string>& arguments,
                       std::optional<std::map<std::string, std::string>> environment) {
    Result result;
    Task task;
    task.setLaunchPath(launchPath);
    task.setArguments(arguments);
    task.setEnvironment(std::move(environment));
    task.setStandardInput(Stream::NullDevice);
    auto out = Pipe::make();
    auto err = Pipe::make();
    task.setStandardOutput(out);
    task.setStandardError(err);
    if (auto error = task.launch()) {
        result.launchError = std::move(error);
        return result;
    }
    task.waitUntilExit();
    result.status = task.terminationStatus();
    result.reason = task.terminationReason();
    result.standardOutput = out->readDataToEndOfFile();
    result.standardError = err->readDataToEndOfFile();
    return result;
}

// MARK: - Detached launch

DetachedLaunch launchDetached(const std::string& launchPath,
                              const std::vector<std::string>& arguments,
                              const std::optional<std::map<std::string, std::string>>& environment,
                              bool inheritOutput) {
    DetachedLaunch launch;
    if (launchPath.empty()) {
        launch.error = posixError(ENOENT, "No launch path", launchPath);
        return launch;
    }
    SpawnSetup setup;
    setup.nullDevice(STDIN_FILENO, O_RDONLY);
    if (!inheritOutput) {
        setup.nullDevice(STDOUT_FILENO, O_WRONLY);
        setup.nullDevice(STDERR_FILENO, O_WRONLY);
    }
    setup.closeInheritedDescriptors();
    posix_spawnattr_setflags(&setup.attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    auto argv = argumentStrings(launchPath, arguments);
    auto envp = environmentStrings(environment);
    pid_t pid = 0;
    const int result = ::posix_spawn(&pid, launchPath.c_str(), &setup.actions, &setup.attributes,
                                     argv.finish(), envp.finish());
    if (result != 0) {
        launch.error = posixError(result, "Could not launch " + launchPath, launchPath);
        return launch;
    }
    launch.pid = pid;
    reapInBackground(pid);
    return launch;
}

}  // namespace skald::platform
