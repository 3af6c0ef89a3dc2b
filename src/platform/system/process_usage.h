#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/unique_fd.h"

namespace skald::platform {

/// Reads the process's CPU time again and again through one open
/// /proc/self/stat, which is cheaper than opening it each time.
class ProcessCpuReader {
  public:
    ProcessCpuReader();
    /// User and system CPU time in seconds; nothing when it cannot be read.
    std::optional<double> cpuSeconds();

  private:
    unique_fd fd_;
};

/// CPU time (user and system) the process has used, in seconds, from
/// /proc/self/stat; nothing when it cannot be read.
std::optional<double> processCpuSeconds();

struct ThreadUsage {
    pid_t thread = 0;
    /// User and system CPU time, in seconds.
    double cpuSeconds = 0;
};

/// Every thread of the process with its CPU time (/proc/self/task/*/stat).
std::vector<ThreadUsage> threadCpuTimes();

/// Bytes the process caused to be written to storage ("write_bytes" of
/// /proc/self/io, or of /proc/self/task/<thread>/io for one thread).
std::optional<uint64_t> processWriteBytes();
std::optional<uint64_t> threadWriteBytes(pid_t thread);

/// What the kernel says of a thread at one moment (/proc/self/task/<tid>/stat).
struct ThreadStat {
    std::string name;
    char state = '?';
    uint64_t userTimeMicros = 0;
    uint64_t systemTimeMicros = 0;
    int32_t priority = -1;
    /// Scheduling policy 1–5 as the kernel numbers it, else 0.
    int policy = 0;

    /// A thread is idle unless it is running (or about to run).
    bool isIdle() const { return state != 'R'; }
};

/// Parses one stat line; nothing when it is not one.
std::optional<ThreadStat> parseThreadStat(std::string_view line);

/// The CPU seconds of a /proc stat line (fields utime and stime); exposed for tests.
std::optional<double> cpuSecondsFromStatLine(std::string_view line);

}  // namespace skald::platform
