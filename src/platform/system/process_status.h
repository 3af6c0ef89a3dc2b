#pragma once

#include <optional>
#include <string>

namespace skald::platform {

/// Whether a debugger (any tracer) is attached: "TracerPid" of
/// /proc/self/status is non-zero. False when the file cannot be read.
bool isBeingTraced();

/// The value of one "Key:\tvalue" line of a /proc status-style text.
std::optional<std::string> statusField(const std::string& text, const std::string& key);

}  // namespace skald::platform
