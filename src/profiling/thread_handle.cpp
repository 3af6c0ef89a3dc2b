#include "profiling/thread_handle.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <string>

#include "platform/process/thread_ids.h"
#include "util/file_io.h"

namespace skald::profiling {

ThreadHandle::ThreadHandle(pid_t thread) : thread_(thread) {}

size_t ThreadHandle::readStatLine(char* buffer, size_t capacity) {
    if (!opened_) {
        opened_ = true;
        const std::string path = "/proc/self/task/" + std::to_string(thread_) + "/stat";
        stat_ = platform::unique_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    }
    if (!stat_) return 0;
    const ssize_t read = ::pread(stat_.get(), buffer, capacity, 0);
    return read > 0 ? static_cast<size_t>(read) : 0;
}

std::optional<ThreadStat> ThreadHandle::readStat() {
    char buffer[1024];
    const size_t length = readStatLine(buffer, sizeof buffer);
    if (length == 0) return std::nullopt;
    return parseThreadStat(std::string_view(buffer, length));
}

std::optional<char> ThreadHandle::readState() {
    // The state follows the name, which ends at the last ")"; the fields
    // after it are not needed, so the line is read only that far.
    char buffer[256];
    const size_t length = readStatLine(buffer, sizeof buffer);
    const std::string_view line(buffer, length);
    const size_t close = line.rfind(')');
    if (close == std::string_view::npos || close + 2 >= line.size()) return std::nullopt;
    return line[close + 2];
}

std::optional<ThreadHandle::SchedStat> ThreadHandle::readSchedStat() {
    if (!schedOpened_) {
        schedOpened_ = true;
        const std::string path = "/proc/self/task/" + std::to_string(thread_) + "/schedstat";
        schedStat_ = platform::unique_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    }
    if (!schedStat_) return std::nullopt;
    char buffer[128];
    const ssize_t read = ::pread(schedStat_.get(), buffer, sizeof buffer, 0);
    if (read <= 0) return std::nullopt;
    const char* end = buffer + read;
    SchedStat stat;
    auto [next, error] = std::from_chars(buffer, end, stat.runNanos);
    if (error != std::errc{} || next >= end || *next != ' ') return std::nullopt;
    if (std::from_chars(next + 1, end, stat.waitNanos).ec != std::errc{}) return std::nullopt;
    return stat;
}

std::string ThreadHandle::name() {
    auto stat = readStat();
    return stat ? stat->name : std::string();
}

int32_t ThreadHandle::priority() {
    auto stat = readStat();
    return stat ? stat->priority : -1;
}

bool ThreadHandle::isIdle() {
    auto stat = readStat();
    return !stat || stat->isIdle();
}

pid_t ThreadHandle::current() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

std::vector<pid_t> ThreadHandle::allExceptCurrent() {
    auto ids = platform::processThreadIds();
    std::erase(ids, current());
    return ids;
}

std::optional<MemoryRange> mappingContaining(std::string_view maps, uintptr_t address) {
    size_t position = 0;
    while (position < maps.size()) {
        size_t end = maps.find('\n', position);
        if (end == std::string_view::npos) end = maps.size();
        const std::string_view line = maps.substr(position, end - position);
        position = end + 1;
        const size_t dash = line.find('-');
        const size_t space = line.find(' ');
        if (dash == std::string_view::npos || space == std::string_view::npos || space < dash) {
            continue;
        }
        uintptr_t low = 0;
        uintptr_t high = 0;
        const auto lowText = line.substr(0, dash);
        const auto highText = line.substr(dash + 1, space - dash - 1);
        if (std::from_chars(lowText.data(), lowText.data() + lowText.size(), low, 16).ec !=
                std::errc{} ||
            std::from_chars(highText.data(), highText.data() + highText.size(), high, 16).ec !=
                std::errc{}) {
            continue;
        }
        if (address >= low && address < high) return MemoryRange{low, high};
    }
    return std::nullopt;
}

std::optional<MemoryRange> mappingContaining(uintptr_t address) {
    // Large processes have long maps; 16 MiB covers hundreds of thousands of lines.
    const auto maps = readFileContents("/proc/self/maps", nullptr, 16u << 20);
    if (!maps) return std::nullopt;
    return mappingContaining(*maps, address);
}

}  // namespace skald::profiling
