#include "platform/system/process_usage.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

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

std::optional<double> cpuSecondsFromStatLine(std::string_view line) {
    // The command name may hold blanks and parentheses: fields count from its last ')'.
    const auto close = line.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = line.substr(close + 1);
    unsigned long long ticks = 0;
    // After the name: state is field 3, utime field 14, stime field 15.
    for (int index = 3; index <= 15; ++index) {
        const auto start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(start);
        const auto end = std::min(rest.find_first_of(" \n"), rest.size());
        if (index >= 14) {
            unsigned long long value = 0;
            const auto [last, error] = std::from_chars(rest.data(), rest.data() + end, value);
            if (error != std::errc{} || last != rest.data() + end) return std::nullopt;
            ticks += value;
        }
        rest.remove_prefix(end);
    }
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    return static_cast<double>(ticks) / static_cast<double>(perSecond > 0 ? perSecond : 100);
}

ProcessCpuReader::ProcessCpuReader() : fd_(::open("/proc/self/stat", O_RDONLY | O_CLOEXEC)) {}

std::optional<double> ProcessCpuReader::cpuSeconds() {
    if (!fd_) return std::nullopt;
    char buffer[1024];
    ssize_t length;
    do {
        length = ::pread(fd_.get(), buffer, sizeof(buffer), 0);
    } while (length < 0 && errno == EINTR);
    if (length <= 0) return std::nullopt;
    return cpuSecondsFromStatLine(std::string_view(buffer, static_cast<size_t>(length)));
}

std::optional<double> processCpuSeconds() {
    return ProcessCpuReader().cpuSeconds();
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
