#include "platform/base/percent.h"

#include "platform/system/hex_digits.h"

namespace skald::platform {

namespace {

bool isAsciiLetterOrDigit(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

bool isPercentEscapeAt(std::string_view text, size_t index) {
    return index + 2 < text.size() && text[index] == '%' && hexDigitValue(text[index + 1]) >= 0 &&
           hexDigitValue(text[index + 2]) >= 0;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (isPercentEscapeAt(text, i)) {
            out += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string percentEncode(std::string_view text, std::string_view keep) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (isAsciiLetterOrDigit(c) || keep.find(ch) != std::string_view::npos) {
            out += ch;
        } else {
            out += '%';
            out += hexDigit(c >> 4, HexCase::Upper);
            out += hexDigit(c, HexCase::Upper);
        }
    }
    return out;
}

}  // namespace skald::platform
