#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skald::tools {

/// One line of statsd text as the metrics client writes it:
/// `name@unit:value[:value...]|type[|#key:value,...][|Tseconds]`.
struct StatsdLine {
    std::string name;
    std::string unit;
    char type = 'c';  ///< 'c' counter, 'g' gauge, 'd' distribution, 's' set
    std::vector<double> values;
    std::map<std::string, std::string> tags;
    std::optional<long long> timestamp;
};

struct StatsdText {
    std::vector<StatsdLine> lines;
    size_t malformed = 0;
};

/// Reads every line it understands; lines it does not are counted, not kept.
/// At most `maxValuesPerLine` values of a line are kept.
StatsdText parseStatsd(std::string_view text, size_t maxValuesPerLine = 1000);

/// Undoes the escaping of tag values ("\\n", "\\u{7c}", ...).
std::string unescapeStatsdTagValue(std::string_view value);

/// The one number a chart shows for a line: a counter's sum, a gauge's last
/// value, a distribution's mean, a set's member count.
double chartValue(const StatsdLine& line);

}  // namespace skald::tools
