#include "tools/receiver/statsd_lines.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace skald::tools {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

std::optional<double> number(std::string_view text) {
    if (text.empty() || text.size() > 64) return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<StatsdLine> parseLine(std::string_view text, size_t maxValues) {
    const auto segments = split(text, '|');
    if (segments.size() < 2 || segments[1].size() != 1) return std::nullopt;
    StatsdLine line;
    line.type = segments[1][0];
    if (line.type != 'c' && line.type != 'g' && line.type != 'd' && line.type != 's') {
        return std::nullopt;
    }
    const auto fields = split(segments[0], ':');
    if (fields.size() < 2) return std::nullopt;
    const std::string_view key = fields[0];
    const size_t at = key.find('@');
    line.name = std::string(key.substr(0, at));
    if (at != std::string_view::npos) line.unit = std::string(key.substr(at + 1));
    if (line.name.empty()) return std::nullopt;
    for (size_t i = 1; i < fields.size(); ++i) {
        const auto value = number(fields[i]);
        if (!value) return std::nullopt;
        if (line.values.size() < maxValues) line.values.push_back(*value);
    }
    for (size_t i = 2; i < segments.size(); ++i) {
        const std::string_view segment = segments[i];
        if (segment.starts_with('#')) {
            for (const auto tag : split(segment.substr(1), ',')) {
                const size_t colon = tag.find(':');
                if (colon == std::string_view::npos || colon == 0) return std::nullopt;
                line.tags[std::string(tag.substr(0, colon))] =
                    unescapeStatsdTagValue(tag.substr(colon + 1));
            }
        } else if (segment.starts_with('T')) {
            long long seconds = 0;
            const auto digits = segment.substr(1);
            const auto result =
                std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
            if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) {
                return std::nullopt;
            }
            line.timestamp = seconds;
        } else {
            return std::nullopt;
        }
    }
    return line;
}

}  // namespace

std::string unescapeStatsdTagValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size();) {
        const std::string_view rest = value.substr(i);
        if (rest.starts_with("\\\\")) {
            const std::string_view after = rest.substr(2);
            struct Escape {
                std::string_view text;
                char character;
            };
            static constexpr Escape escapes[] = {{"\\\\", '\\'}, {"n", '\n'},    {"r", '\r'},
                                                 {"t", '\t'},    {"u{7c}", '|'}, {"u{2c}", ','}};
            bool matched = false;
            for (const auto& escape : escapes) {
                if (after.starts_with(escape.text)) {
                    out.push_back(escape.character);
                    i += 2 + escape.text.size();
                    matched = true;
                    break;
                }
            }
            if (matched) continue;
        }
        out.push_back(value[i++]);
    }
    return out;
}

StatsdText parseStatsd(std::string_view text, size_t maxValuesPerLine) {
    StatsdText result;
    for (auto line : split(text, '\n')) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (auto parsed = parseLine(line, maxValuesPerLine)) {
            result.lines.push_back(std::move(*parsed));
        } else {
            ++result.malformed;
        }
    }
    return result;
}

double chartValue(const StatsdLine& line) {
    if (line.values.empty()) return 0;
    switch (line.type) {
        case 'g':
            return line.values.front();
        case 'd': {
            double sum = 0;
            for (const double v : line.values) sum += v;
            return sum / static_cast<double>(line.values.size());
        }
        case 's':
            return static_cast<double>(line.values.size());
        default: {
            double sum = 0;
            for (const double v : line.values) sum += v;
            return sum;
        }
    }
}

}  // namespace skald::tools
