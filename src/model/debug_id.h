#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skald {

/// The usual debug id of an ELF image: the first 16 bytes of the build-id
/// (zero-padded) read as a GUID, whose first three fields are little-endian.
std::string debugIdFromBuildId(const uint8_t* buildId, size_t length);

/// The same from the build-id as hexadecimal text (as crash reports store it);
/// nothing for empty text, an odd digit count or a non-hexadecimal character.
std::optional<std::string> debugIdFromBuildIdHex(std::string_view hex);

}  // namespace skald
