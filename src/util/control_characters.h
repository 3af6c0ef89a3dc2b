#pragma once

#include <algorithm>
#include <string_view>

namespace skald {

/// Whether `text` holds a C0 control character or DEL. Such text cannot go
/// into a request header: a line break would start a header of its own and a
/// NUL would cut the value.
inline bool hasControlCharacters(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

}  // namespace skald
