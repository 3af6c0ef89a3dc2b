#include "platform/base/hex.h"

namespace skald::platform {

std::string hexEncode(const uint8_t* bytes, size_t count, HexCase letterCase) {
    std::string text(2 * count, '0');
    writeHexBytes(bytes, count, text.data(), letterCase);
    return text;
}

std::optional<std::vector<uint8_t>> hexDecode(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigitValue(hex[i]);
        const int low = hexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

std::string hexNumber(uint64_t value, int minDigits, HexCase letterCase) {
    char digits[16];
    char* end = digits + sizeof digits;
    char* start = writeHexNumber(value, minDigits, end, letterCase);
    return std::string(start, end);
}

std::string uuidText(const uint8_t* bytes, HexCase letterCase) {
    std::string text(kUuidTextLength, '0');
    writeUuidText(bytes, text.data(), letterCase);
    return text;
}

}  // namespace skald::platform
