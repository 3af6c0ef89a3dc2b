#pragma once

#include <chrono>
#include <functional>

namespace skald::platform {

/// A unit of work handed to a queue.
using Block = std::function<void()>;

/// Something that runs blocks: a queue or a host's main loop.
using Executor = std::function<void(Block)>;

using Duration = std::chrono::steady_clock::duration;

/// Seconds as a duration; negative values count as zero, and anything over
/// a century (infinity included) as a century, so that adding it to a time
/// point cannot overflow.
inline Duration secondsToDuration(double seconds) {
    if (!(seconds > 0)) return Duration::zero();
    constexpr double kCentury = 100.0 * 365 * 24 * 3600;
    if (seconds > kCentury) seconds = kCentury;
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

}  // namespace skald::platform
