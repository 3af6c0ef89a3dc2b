#pragma once

#include <cstdint>
#include <string>

#include "platform/base/hex.h"

namespace skald::crash {

/// "0x" and 16 lower-case hexadecimal digits: how frames and debug images
/// write addresses, and how they are matched with each other.
inline std::string hexAddress(uint64_t address) {
    return "0x" + platform::hexNumber(address, 16);
}

}  // namespace skald::crash
