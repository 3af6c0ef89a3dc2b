#include "platform/system/process_usage.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

#include "platform/base/unique_fd.h"
#include "platform/system/process_status.h"

namespace skald::platform {

namespace {

// /proc files report size 0: read until the end, at most `limit` bytes.
std::optional<std::string> readProcFile(const std::string& path, size_t limit = 4096) {
    const unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char buffer[1024];
    while (text.size() < limit) {
        const ssize_t length = ::read(fd.get(), buffer, sizeof(buffer));
        if (length < 0 && errno == EINTR) continue;
        if (length < 0) return std::nullopt;
        if (length == 0) break;
        text.append(buffer, static_cast<size_t>(length));
    }
    return text;
}

std::optional<uint64_t> writeBytesIn(const std::string& path) {
    const auto text = readProcFile(path);
    if (!text) return std::nullopt;
    // "write_bytes: N" lines use ": " rather than a tab; statusField trims either.
    const auto field = statusField(*text, "write_bytes");
    if (!field) return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(field->data(), field->data() + field->size(), value);
    if (error != std::errc{}) return std::nullopt;
    return value;
}

}  // namespace

std::optional<double> cpuSecondsFromStatLine(const std::string& line) {
    // The command name may hold blanks and parentheses: fields count from its last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // After the name: state is field 3, utime field 14, stime field 15.
    for (int index = 3; index <= 15 && (fields >> field); ++index) {
        if (index == 14 || index == 15) {
            unsigned long long value = 0;
            const auto [end, error] =
                std::from_chars(field.data(), field.data() + field.size(), value);
            if (error != std::errc{}) return std::nullopt;
            (index == 14 ? utime : stime) = value;
            if (index == 15) {
                const long ticks = ::sysconf(_SC_CLK_TCK);
                return static_cast<double>(utime + stime) /
                       static_cast<double>(ticks > 0 ? ticks : 100);
            }
        }
    }
    return std::nullopt;
}

std::optional<double> processCpuSeconds() {
    const auto text = readProcFile("/proc/self/stat");
    return text ? cpuSecondsFromStatLine(*text) : std::nullopt;
}

std::vector<ThreadUsage> threadCpuTimes() {
    std::vector<ThreadUsage> usage;
    DIR* directory = ::opendir("/proc/self/task");
    if (directory == nullptr) return usage;
    while (const dirent* entry = ::readdir(directory)) {
        pid_t thread = 0;
        const char* name = entry->d_name;
        const auto [end, error] = std::from_chars(name, name + std::strlen(name), thread);
        if (error != std::errc{} || *end != '\0' || thread <= 0) continue;
        const auto text = readProcFile("/proc/self/task/" + std::string(name) + "/stat");
        if (!text) continue;  // the thread has ended
        if (const auto seconds = cpuSecondsFromStatLine(*text)) {
            usage.push_back({thread, *seconds});
        }
    }
    ::closedir(directory);
    return usage;
}

std::optional<uint64_t> processWriteBytes() {
    return writeBytesIn("/proc/self/io");
}

std::optional<uint64_t> threadWriteBytes(pid_t thread) {
    return writeBytesIn("/proc/self/task/" + std::to_string(thread) + "/io");
}

}  // namespace skald::platform
