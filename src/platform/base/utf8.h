#pragma once

#include <cstddef>
#include <string_view>

namespace skald::platform {

/// Whether `text` is well-formed UTF-8: no overlong forms, no surrogates, no
/// code points past U+10FFFF and no truncated sequences. NUL bytes count as
/// text.
bool isValidUtf8(std::string_view text);

/// The code points of `text`, counted as the bytes that do not continue a
/// sequence; malformed bytes count one each.
size_t utf8CodePointCount(std::string_view text);

/// The bytes of the first `maxCodePoints` code points of `text` (all of it
/// when it has no more): a length that never ends inside a sequence.
size_t utf8PrefixLength(std::string_view text, size_t maxCodePoints);

/// The length a sequence announces by its lead byte; 1 for a byte that leads
/// nothing (ASCII, a continuation or an invalid lead).
size_t utf8SequenceLength(unsigned char lead);

/// The code point of the `length` bytes at `bytes` (a length from
/// utf8SequenceLength, or shorter where the text ends); U+FFFD when a byte
/// does not continue the sequence. It checks the shape only, not overlong
/// forms or surrogates: where those matter, check with isValidUtf8 first.
char32_t decodeUtf8Sequence(const unsigned char* bytes, size_t length);

}  // namespace skald::platform
