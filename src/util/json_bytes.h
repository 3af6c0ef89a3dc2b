#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "skald/json.h"

namespace skald {

/// Compact JSON text of `value`. Never throws. Invalid UTF-8 in strings is
/// replaced by U+FFFD. Gives nothing for values JSON cannot carry: numbers that
/// are not finite (the writer would silently turn them into null), binary and
/// discarded values.
std::optional<std::string> jsonBytes(const Json& value);

/// Whether jsonBytes would write `value`.
bool isWritableJson(const Json& value);

/// JSON text of `value` for log lines and descriptions. Never throws and never
/// fails: invalid UTF-8 is replaced by U+FFFD and values JSON cannot carry are
/// written as the writer sees them (null for numbers that are not finite).
std::string describeJson(const Json& value);

/// Parses JSON text without throwing. Leading and trailing whitespace is
/// accepted. On failure gives nothing and, when asked, the parser's message.
std::optional<Json> parseJsonBytes(std::string_view bytes, std::string* errorText = nullptr);

}  // namespace skald

namespace skald {

/// A non-negative whole number held by `value`: an unsigned or non-negative
/// integer, or a float with no fractional part that fits. Nothing for anything
/// else (booleans, strings, negative or fractional numbers).
std::optional<uint64_t> unsignedIntegerFromJson(const Json& value);

}  // namespace skald
