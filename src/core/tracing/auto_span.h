#pragma once

#include <memory>
#include <optional>
#include <string>

namespace skald {

class SpanImpl;

/// A child of the span bound to the current hub's scope, for automatic
/// instrumentation, with its origin; null when no span is bound or the bound
/// span takes no more children.
std::shared_ptr<SpanImpl> startAutoChild(const std::string& operation,
                                         const std::optional<std::string>& description,
                                         const std::string& origin);

/// Sets "blocked_main_thread" and, on the main thread, the call stack that
/// led here. `onlyAppFrames`: only frames of the program's own folder, and
/// none (nor "blocked_main_thread") unless more than one remains.
void addMainThreadInfo(SpanImpl& span, bool onlyAppFrames);

}  // namespace skald
