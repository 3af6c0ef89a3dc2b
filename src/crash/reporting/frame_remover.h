#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "skald/frame.h"

namespace skald::crash {

/// Trims the SDK's own frames from the top of a stack (innermost first).
class FrameRemover {
  public:
    /// The frames from the first one that is not the SDK's own; all frames
    /// when every one is. An SDK frame lies in "/skald.framework/" or
    /// "/skaldprivate.framework/" (its package, lower-cased) or, because the
    /// SDK is linked statically into its host on Linux and so shares the
    /// host's package, is a function of the SDK (`isSdkFunction`).
    static std::vector<std::shared_ptr<Frame>> removeNonSdkFrames(
        const std::vector<std::shared_ptr<Frame>>& frames);

    /// Whether a (mangled) symbol name is one of the SDK's own functions:
    /// everything in its namespace.
    static bool isSdkFunction(std::string_view symbolName);
};

}  // namespace skald::crash
