// Async-signal-safe: the crash-time helpers. Text is built into caller-owned
// buffers, in place of stdio formatting, which crash-time code must not use.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/system/hex_digits.h"

namespace skald::crash {

/// The calling thread's kernel id (gettid), straight from the system call.
pid_t currentThreadId();

namespace text {

/// Copies `source` (null counts as "") into `destination`, cut to
/// `capacity` - 1 bytes, and NUL-terminates it; returns the bytes copied.
int copyString(char* destination, int capacity, const char* source);

/// Appends `length` bytes of `text` (all of it when negative) to `buffer` at
/// `*used` and keeps it NUL-terminated; false, leaving it as it was, when it
/// does not fit in `capacity`.
bool append(char* buffer, int capacity, int* used, const char* text, int length = -1);

/// Appends `value` in lower-case hexadecimal, at least `minDigits` digits
/// (zero-padded), without a prefix.
bool appendHex(char* buffer, int capacity, int* used, uint64_t value, int minDigits = 1);

/// Appends `value` in decimal.
bool appendDecimal(char* buffer, int capacity, int* used, int64_t value);

/// Writes the decimal digits of `value` backwards so that they end just
/// before `end` (at most 20 bytes); returns where they start. No NUL.
char* formatDecimal(uint64_t value, char* end);

using platform::HexCase;

/// Writes two hexadecimal digits per byte: 2 * `count` bytes, no NUL.
void writeHexBytes(const uint8_t* bytes, int count, char* out, HexCase letterCase);

/// 16 bytes as upper-case "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", no NUL.
using platform::kUuidTextLength;
void writeUuid(const uint8_t* bytes, char* out);

}  // namespace text
}  // namespace skald::crash
