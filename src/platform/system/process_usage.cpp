#include "platform/system/process_usage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/base/unique_fd.h"
#include "platform/process/thread_ids.h"
#include "platform/system/process_status.h"

namespace skald::platform {

namespace {

uint64_t ticksToMicros(uint64_t ticks) {
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (ticksPerSecond <= 0) return 0;
    return ticks * 1'000'000u / static_cast<uint64_t>(ticksPerSecond);
}

template <typename T>
bool parseNumber(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

/// The fields after the name, split at spaces; the first is the state (field 3).
std::vector<std::string_view> fieldsAfterName(std::string_view rest) {
    std::vector<std::string_view> fields;
    size_t position = 0;
    while (position < rest.size()) {
        while (position < rest.size() && (rest[position] == ' ' || rest[position] == '\n')) {
            ++position;
        }
        if (position >= rest.size()) break;
        const size_t end = rest.find_first_of(" \n", position);
        fields.push_back(
            rest.substr(position, end == std::string_view::npos ? rest.npos : end - position));
        if (end == std::string_view::npos) break;
        position = end;
    }
    return fields;
}

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

std::optional<ThreadStat> parseThreadStat(std::string_view line) {
    // The name may hold spaces and parentheses: it ends at the last ")".
    const size_t open = line.find('(');
    const size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return std::nullopt;
    }
    const auto fields = fieldsAfterName(line.substr(close + 1));
    // Fields 3 (state) to 18 (priority) at least; the policy is field 41.
    if (fields.size() < 16 || fields[0].size() != 1) return std::nullopt;
    ThreadStat stat;
    stat.name = std::string(line.substr(open + 1, close - open - 1));
    stat.state = fields[0][0];
    uint64_t userTicks = 0;
    uint64_t systemTicks = 0;
    if (!parseNumber(fields[11], userTicks) || !parseNumber(fields[12], systemTicks) ||
        !parseNumber(fields[15], stat.priority)) {
        return std::nullopt;
    }
    stat.userTimeMicros = ticksToMicros(userTicks);
    stat.systemTimeMicros = ticksToMicros(systemTicks);
    int policy = 0;
    if (fields.size() > 38 && parseNumber(fields[38], policy) && policy >= 1 && policy <= 5) {
        stat.policy = policy;
    }
    return stat;
}

std::optional<double> cpuSecondsFromStatLine(std::string_view line) {
    const auto stat = parseThreadStat(line);
    if (!stat) return std::nullopt;
    return static_cast<double>(stat->userTimeMicros + stat->systemTimeMicros) / 1e6;
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
    for (const pid_t thread : processThreadIds()) {
        const auto text = readProcFile("/proc/self/task/" + std::to_string(thread) + "/stat");
        if (!text) continue;  // the thread has ended
        if (const auto seconds = cpuSecondsFromStatLine(*text)) {
            usage.push_back({thread, *seconds});
        }
    }
    return usage;
}

std::optional<uint64_t> processWriteBytes() {
    return writeBytesIn("/proc/self/io");
}

std::optional<uint64_t> threadWriteBytes(pid_t thread) {
    return writeBytesIn("/proc/self/task/" + std::to_string(thread) + "/io");
}

}  // namespace skald::platform
