#pragma once

#include <string>
#include <string_view>

namespace skald::platform {

/// The SHA-1 digest of `data` as 40 lower-case hex digits. Names and
/// fingerprints only, never security.
std::string sha1Hex(std::string_view data);

}  // namespace skald::platform
