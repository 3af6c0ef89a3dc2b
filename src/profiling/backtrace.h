#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skald::profiling {

struct ThreadMetadata {
    /// The kernel's thread id; 0 marks a thread never to sample.
    uint64_t threadID = 0;
    std::string name;
    /// The scheduler's priority; -1 when unknown.
    int32_t priority = -1;
};

/// One thread's stack at one moment.
struct Backtrace {
    ThreadMetadata threadMetadata;
    /// Nanoseconds of the monotonic clock.
    uint64_t absoluteTimestamp = 0;
    /// Innermost first.
    std::vector<uintptr_t> addresses;
};

}  // namespace skald::profiling
