#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace skald::platform {

/// The lines of `text`, split at every '\n' (which no line keeps). Text that
/// ends in '\n' ends in an empty line, and "" is one empty line.
std::vector<std::string> splitLines(const std::string& text);

/// `text` without leading and trailing spaces, tabs and line ends.
std::string_view trimWhitespace(std::string_view text);

}  // namespace skald::platform
