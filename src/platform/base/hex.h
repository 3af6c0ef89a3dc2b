#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/hex_digits.h"

namespace skald::platform {

/// Two digits per byte, no prefix or separators.
std::string hexEncode(const uint8_t* bytes, size_t count, HexCase letterCase = HexCase::Lower);

/// The bytes spelled by `hex`, two digits of either case each. Nothing for
/// an odd count of digits or anything that is not a digit; "" gives no bytes.
std::optional<std::vector<uint8_t>> hexDecode(std::string_view hex);

/// `value` in hexadecimal, at least `minDigits` digits (zero-padded, at most
/// 16), without a prefix.
std::string hexNumber(uint64_t value, int minDigits = 1, HexCase letterCase = HexCase::Lower);

/// 16 bytes in order as "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
std::string uuidText(const uint8_t* bytes, HexCase letterCase);

}  // namespace skald::platform
