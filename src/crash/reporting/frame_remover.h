#pragma once

#include <memory>
#include <vector>

#include "skald/frame.h"

namespace skald::crash {

/// Trims the SDK's own frames from the top of a stack (innermost first).
class FrameRemover {
  public:
    /// The frames from the first one whose package, lower-cased, lies in
    /// neither "/skald.framework/" nor "/skaldprivate.framework/"; all frames
    /// when every one is an SDK frame. The SDK is linked statically into the
    /// host on Linux, so its frames carry the host's package and stay.
    static std::vector<std::shared_ptr<Frame>> removeNonSdkFrames(
        const std::vector<std::shared_ptr<Frame>>& frames);
};

}  // namespace skald::crash
