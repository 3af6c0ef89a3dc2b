#pragma once

namespace skald {

/// How a flush ended.
enum class FlushResult : int {
    Success = 0,
    TimedOut = 1,
    AlreadyFlushing = 2,
};

}  // namespace skald
