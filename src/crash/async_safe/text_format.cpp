// Async-signal-safe: plain loops over caller-owned buffers, and one system call.
#include "crash/async_safe/text_format.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace skald::crash {

pid_t currentThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

namespace text {

int copyString(char* destination, int capacity, const char* source) {
    if (capacity <= 0) return 0;
    int length = 0;
    for (; source != nullptr && source[length] != '\0' && length < capacity - 1; ++length) {
        destination[length] = source[length];
    }
    destination[length] = '\0';
    return length;
}

bool append(char* buffer, int capacity, int* used, const char* text, int length) {
    if (length < 0) length = static_cast<int>(std::strlen(text));
    if (capacity <= 0 || *used + length >= capacity) return false;
    std::memcpy(buffer + *used, text, static_cast<size_t>(length));
    *used += length;
    buffer[*used] = '\0';
    return true;
}

bool appendHex(char* buffer, int capacity, int* used, uint64_t value, int minDigits) {
    char digits[16];
    char* end = digits + sizeof digits;
    const char* start = platform::writeHexNumber(value, minDigits, end);
    return append(buffer, capacity, used, start, static_cast<int>(end - start));
}

char* formatDecimal(uint64_t value, char* end) {
    char* digits = end;
    do {
        *--digits = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return digits;
}

bool appendDecimal(char* buffer, int capacity, int* used, int64_t value) {
    char digits[21];
    char* end = digits + sizeof digits;
    // The magnitude in unsigned arithmetic, where even INT64_MIN's fits.
    const uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char* start = formatDecimal(magnitude, end);
    if (value < 0) *--start = '-';
    return append(buffer, capacity, used, start, static_cast<int>(end - start));
}

void writeHexBytes(const uint8_t* bytes, int count, char* out, HexCase letterCase) {
    if (count > 0) platform::writeHexBytes(bytes, static_cast<size_t>(count), out, letterCase);
}

void writeUuid(const uint8_t* bytes, char* out) {
    platform::writeUuidText(bytes, out, HexCase::Upper);
}

}  // namespace text
}  // namespace skald::crash
