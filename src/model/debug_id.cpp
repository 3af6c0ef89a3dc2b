#include "model/debug_id.h"

#include <utility>

#include "platform/base/hex.h"

namespace skald {

std::string debugIdFromBuildId(const uint8_t* buildId, size_t length) {
    uint8_t bytes[16] = {};
    for (size_t i = 0; i < 16 && i < length; ++i) bytes[i] = buildId[i];
    // The first three fields are little-endian in the build id.
    std::swap(bytes[0], bytes[3]);
    std::swap(bytes[1], bytes[2]);
    std::swap(bytes[4], bytes[5]);
    std::swap(bytes[6], bytes[7]);
    return platform::uuidText(bytes, platform::HexCase::Lower);
}

std::optional<std::string> debugIdFromBuildIdHex(std::string_view hex) {
    if (hex.empty()) return std::nullopt;
    const auto bytes = platform::hexDecode(hex);
    if (!bytes) return std::nullopt;
    return debugIdFromBuildId(bytes->data(), bytes->size());
}

}  // namespace skald
