#pragma once

#include <string>
#include <string_view>

#include "skald/json.h"

namespace skald::tools {

/// What the web view calls an envelope item: "event", "crash", "transaction",
/// "session", "profile", "metrics", "client report", "attachment", or the item
/// type itself for anything else.
std::string itemKind(const std::string& itemType, const Json* payload);

/// A fatal event, or one whose exception was not handled.
bool isCrashEvent(const Json& event);

/// The fields the list shows for one item: "level", "title", "release",
/// "environment", "time" (seconds since 1970 when the payload says), "event_id".
/// `payload` is null when the item is not JSON; `text` is the raw payload of
/// text items (statsd).
Json itemSummary(const std::string& kind, const Json* payload, std::string_view text);

/// Deepest nesting of arrays and objects in JSON text, without parsing it:
/// deep documents would exhaust the stack of a recursive writer.
size_t jsonNestingDepth(std::string_view text);

/// `text` cut to at most `limit` bytes without splitting a UTF-8 sequence,
/// with "…" appended when cut.
std::string shortened(std::string_view text, size_t limit);

}  // namespace skald::tools
