// Async-signal-safe and header-only: hexadecimal digits for the crash-time
// writers and for the ordinary hex helpers (platform/base/hex.h) alike, so
// that both spell bytes and numbers the same way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skald::platform {

enum class HexCase { Lower, Upper };

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

/// The digit of the low four bits of `value`.
constexpr char hexDigit(unsigned value, HexCase letterCase = HexCase::Lower) {
    return (letterCase == HexCase::Upper ? kUpperHexDigits : kLowerHexDigits)[value & 0xF];
}

/// The value of a hexadecimal digit of either case; -1 for anything else.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// Two digits per byte: 2 * `count` bytes at `out`, no NUL.
constexpr void writeHexBytes(const uint8_t* bytes, size_t count, char* out, HexCase letterCase) {
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = hexDigit(bytes[i] >> 4, letterCase);
        out[2 * i + 1] = hexDigit(bytes[i], letterCase);
    }
}

/// The digits of `value`, at least `minDigits` of them (zero-padded, at most
/// 16), written backwards so that they end just before `end`; returns where
/// they start. No prefix and no NUL.
constexpr char* writeHexNumber(uint64_t value, int minDigits, char* end,
                               HexCase letterCase = HexCase::Lower) {
    if (minDigits > 16) minDigits = 16;
    char* digits = end;
    do {
        *--digits = hexDigit(static_cast<unsigned>(value), letterCase);
        value >>= 4;
    } while (value != 0);
    while (end - digits < minDigits) *--digits = '0';
    return digits;
}

/// 16 bytes in order as "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", no NUL.
inline constexpr int kUuidTextLength = 36;
constexpr void writeUuidText(const uint8_t* bytes, char* out, HexCase letterCase) {
    int used = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out[used++] = '-';
        writeHexBytes(bytes + i, 1, out + used, letterCase);
        used += 2;
    }
}

}  // namespace skald::platform
