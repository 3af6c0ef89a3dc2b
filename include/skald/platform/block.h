#pragma once

#include <chrono>
#include <functional>

namespace skald::platform {

/// A unit of work handed to a queue.
using Block = std::function<void()>;

/// Something that runs blocks: a queue or a host's main loop.
using Executor = std::function<void(Block)>;

using Duration = std::chrono::steady_clock::duration;

/// Seconds as a duration; negative values count as zero.
inline Duration secondsToDuration(double seconds) {
    if (!(seconds > 0)) return Duration::zero();
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

}  // namespace skald::platform
