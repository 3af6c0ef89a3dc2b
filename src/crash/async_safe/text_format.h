// Async-signal-safe: text building into caller-owned buffers, in place of
// stdio formatting, which crash-time code must not use.
#pragma once

#include <cstdint>

namespace skald::crash::text {

/// Appends `length` bytes of `text` (all of it when negative) to `buffer` at
/// `*used` and keeps it NUL-terminated; false, leaving it as it was, when it
/// does not fit in `capacity`.
bool append(char* buffer, int capacity, int* used, const char* text, int length = -1);

/// Appends `value` in lower-case hexadecimal, at least `minDigits` digits
/// (zero-padded), without a prefix.
bool appendHex(char* buffer, int capacity, int* used, uint64_t value, int minDigits = 1);

/// Appends `value` in decimal.
bool appendDecimal(char* buffer, int capacity, int* used, int64_t value);

}  // namespace skald::crash::text
