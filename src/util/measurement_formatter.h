#pragma once

#include <string>

namespace skald {

/// A measurement in the unit it carries, as written in English (United
/// States): "1,234.5 sec", "2 MB". At most three fractional digits, trailing
/// zeros dropped, thousands grouped with ",".
std::string formatMeasurement(double value, const std::string& unit);

}  // namespace skald
