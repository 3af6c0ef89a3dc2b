#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

namespace skald::crash {

/// "0x" and 16 lower-case hexadecimal digits: how frames and debug images
/// write addresses, and how they are matched with each other.
inline std::string hexAddress(uint64_t address) {
    char text[19];
    std::snprintf(text, sizeof(text), "0x%016" PRIx64, address);
    return text;
}

}  // namespace skald::crash
