#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/system/process_usage.h"

namespace skald::profiling {

using platform::parseThreadStat;
using platform::ThreadStat;

/// A thread of this process, by its kernel id. Keeps its stat file open, so
/// that reading it again costs one system call.
class ThreadHandle {
  public:
    explicit ThreadHandle(pid_t thread);

    pid_t thread() const { return thread_; }
    /// Nothing when the thread has ended (or the file cannot be read).
    std::optional<ThreadStat> readStat();
    /// The run state alone ('R', 'S', ...), read the same way but without
    /// parsing the rest.
    std::optional<char> readState();
    /// Nanoseconds spent on a CPU and waiting for one
    /// (/proc/self/task/<tid>/schedstat), far cheaper to read than the stat.
    struct SchedStat {
        uint64_t runNanos = 0;
        uint64_t waitNanos = 0;
    };
    std::optional<SchedStat> readSchedStat();
    /// The thread's name; empty when it cannot be read.
    std::string name();
    /// The scheduler's priority; -1 when it cannot be read.
    int32_t priority();
    /// Idle when not running, and when it cannot be asked.
    bool isIdle();

    static pid_t current();
    /// Every thread of the process but the caller, in the kernel's order.
    static std::vector<pid_t> allExceptCurrent();

  private:
    /// The stat line into `buffer`; its length, 0 when it cannot be read.
    size_t readStatLine(char* buffer, size_t capacity);

    pid_t thread_;
    platform::unique_fd stat_;
    bool opened_ = false;
    platform::unique_fd schedStat_;
    bool schedOpened_ = false;
};

/// The mapping of this process that holds `address`: [low, high).
struct MemoryRange {
    uintptr_t low = 0;
    uintptr_t high = 0;
};
std::optional<MemoryRange> mappingContaining(uintptr_t address);
/// The same, in a /proc/<pid>/maps text.
std::optional<MemoryRange> mappingContaining(std::string_view maps, uintptr_t address);

}  // namespace skald::profiling
