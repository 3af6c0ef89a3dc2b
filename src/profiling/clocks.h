#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>

namespace skald::profiling {

/// Nanoseconds of CLOCK_MONOTONIC, the clock samples are taken on.
inline uint64_t monotonicNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

/// Wall-clock seconds since 1970, as samples and readings carry them.
inline double wallClockSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace skald::profiling
