#include "platform/base/utf8.h"

namespace skald::platform {

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        // The second byte's range is what rules out overlong forms (E0, F0),
        // surrogates (ED) and code points past U+10FFFF (F4).
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (size - i < length) return false;
        if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (size_t k = 2; k < length; ++k) {
            if (!isContinuation(bytes[i + k])) return false;
        }
        i += length;
    }
    return true;
}

size_t utf8CodePointCount(std::string_view text) {
    size_t count = 0;
    for (const char c : text) {
        if (!isContinuation(static_cast<unsigned char>(c))) ++count;
    }
    return count;
}

size_t utf8PrefixLength(std::string_view text, size_t maxCodePoints) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (isContinuation(static_cast<unsigned char>(text[i]))) continue;
        if (seen == maxCodePoints) return i;
        ++seen;
    }
    return text.size();
}

size_t utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

char32_t decodeUtf8Sequence(const unsigned char* bytes, size_t length) {
    if (length == 1) return bytes[0] < 0x80 ? bytes[0] : 0xFFFD;
    char32_t value = bytes[0] & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) {
        if (!isContinuation(bytes[i])) return 0xFFFD;
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    return value;
}

}  // namespace skald::platform
