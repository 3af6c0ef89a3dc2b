// Async-signal-safe: plain loops over caller-owned buffers.
#include "crash/async_safe/text_format.h"

#include <cstring>

namespace skald::crash::text {

bool append(char* buffer, int capacity, int* used, const char* text, int length) {
    if (length < 0) length = static_cast<int>(std::strlen(text));
    if (capacity <= 0 || *used + length >= capacity) return false;
    std::memcpy(buffer + *used, text, static_cast<size_t>(length));
    *used += length;
    buffer[*used] = '\0';
    return true;
}

bool appendHex(char* buffer, int capacity, int* used, uint64_t value, int minDigits) {
    static const char kHex[] = "0123456789abcdef";
    char digits[16];
    int count = 0;
    do {
        digits[15 - count++] = kHex[value & 0xF];
        value >>= 4;
    } while (value != 0);
    if (minDigits > 16) minDigits = 16;
    while (count < minDigits) digits[15 - count++] = '0';
    return append(buffer, capacity, used, digits + 16 - count, count);
}

bool appendDecimal(char* buffer, int capacity, int* used, int64_t value) {
    char digits[21];
    int count = 0;
    // Works on the negative side, where every int64_t value fits.
    const bool negative = value < 0;
    int64_t rest = negative ? value : -value;
    do {
        digits[20 - count++] = static_cast<char>('0' - rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (negative) digits[20 - count++] = '-';
    return append(buffer, capacity, used, digits + 21 - count, count);
}

}  // namespace skald::crash::text
