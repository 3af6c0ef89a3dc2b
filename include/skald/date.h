#pragma once

#include <chrono>

namespace skald {

/// Wall-clock date. Kept at the clock's full precision.
using Date = std::chrono::system_clock::time_point;

/// Seconds since 1970-01-01 UTC, fractional part kept.
inline double timeIntervalSince1970(Date date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count();
}

/// Rounded to the microsecond: a double cannot hold nanoseconds of today's
/// dates, and truncation would turn .123 into .122999.
inline Date dateWithTimeIntervalSince1970(double seconds) {
    return Date(std::chrono::round<std::chrono::microseconds>(std::chrono::duration<double>(seconds)));
}

}  // namespace skald
