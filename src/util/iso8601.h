#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "skald/date.h"

namespace skald {

/// "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'" in UTC; milliseconds are truncated.
std::string formatIso8601Timestamp(Date date);

/// Parses the millisecond form, then the form without a fraction. Strict:
/// exact digit counts, valid calendar values, nothing before or after.
std::optional<Date> parseIso8601Timestamp(std::string_view text);

}  // namespace skald
