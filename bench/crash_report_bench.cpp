// Time from a crash to its closed report file, for a process with 20 threads.
//   crash_report_bench [runs] [timed|timed-blocked]
// "timed": six of the other threads spin, the rest sleep or make system calls;
// "timed-blocked": they wait on a condition variable, a pipe or a sleep.
// The victim prints the monotonic time just before it faults; an inotify watch
// on its reports directory notes when the report file is closed.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

int64_t monotonicNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

/// One crash: nanoseconds from the fault to the report's close, or -1.
int64_t measureOnce(const std::filesystem::path& directory, const char* mode) {
    std::filesystem::create_directories(directory / "Reports");
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ::inotify_add_watch(watch, (directory / "Reports").c_str(), IN_CLOSE_WRITE);
    int output[2];
    if (::pipe(output) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        ::execl(SKALD_CRASH_VICTIM_PATH, SKALD_CRASH_VICTIM_PATH, directory.c_str(), mode,
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(output[1]);
    int64_t closedAt = -1;
    pollfd watched{watch, POLLIN, 0};
    while (closedAt < 0 && ::poll(&watched, 1, 10000) > 0) {
        alignas(inotify_event) char buffer[4096];
        const ssize_t count = ::read(watch, buffer, sizeof buffer);
        const int64_t now = monotonicNanos();
        for (ssize_t offset = 0; offset < count;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            if (event->len > 0 && std::strstr(event->name, ".json") != nullptr) closedAt = now;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    std::string said;
    char buffer[256];
    ssize_t count = 0;
    while ((count = ::read(output[0], buffer, sizeof buffer)) > 0) said.append(buffer, count);
    ::close(output[0]);
    ::close(watch);
    ::waitpid(child, nullptr, 0);
    const auto at = said.find("fault-at ");
    if (at == std::string::npos || closedAt < 0) return -1;
    return closedAt - std::stoll(said.substr(at + 9));
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 50;
    const char* mode = argc > 2 ? argv[2] : "timed";
    const auto root =
        std::filesystem::temp_directory_path() / ("crash-bench-" + std::to_string(::getpid()));
    std::vector<double> millis;
    for (int i = 0; i < runs; ++i) {
        const auto directory = root / std::to_string(i);
        const int64_t nanos = measureOnce(directory, mode);
        if (nanos >= 0) millis.push_back(static_cast<double>(nanos) / 1e6);
        std::filesystem::remove_all(directory);
    }
    std::filesystem::remove_all(root);
    if (millis.empty()) {
        std::fprintf(stderr, "no crash was measured\n");
        return 1;
    }
    std::sort(millis.begin(), millis.end());
    std::printf("crashes measured: %zu of %d (20 threads each, %s)\n", millis.size(), runs, mode);
    std::printf("signal to closed report: median %.2f ms, best %.2f ms, worst %.2f ms\n",
                millis[millis.size() / 2], millis.front(), millis.back());
    return 0;
}
