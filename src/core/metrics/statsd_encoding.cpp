#include "core/metrics/statsd_encoding.h"

namespace skald {

namespace {

bool isAlphanumericOrUnderscore(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Bytes outside the set are taken as a run; a multi-byte character is a run
// of such bytes, so it is replaced or removed whole.
template <typename Allowed>
std::string replaceRuns(std::string_view text, Allowed allowed, std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    bool inRun = false;
    for (char c : text) {
        if (allowed(c)) {
            out.push_back(c);
            inRun = false;
        } else if (!inRun) {
            out.append(replacement);
            inRun = true;
        }
    }
    return out;
}

}  // namespace

std::string sanitizeMetricName(std::string_view name) {
    return replaceRuns(
        name, [](char c) { return isAlphanumericOrUnderscore(c) || c == '.' || c == '-'; }, "_");
}

std::string sanitizeMetricUnit(std::string_view unit) {
    return replaceRuns(unit, isAlphanumericOrUnderscore, "");
}

std::string sanitizeMetricTagKey(std::string_view key) {
    return replaceRuns(
        key,
        [](char c) { return isAlphanumericOrUnderscore(c) || c == '/' || c == '.' || c == '-'; },
        "");
}

std::string escapeMetricTagValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '\\':
                out.append("\\\\\\\\");
                break;
            case '\n':
                out.append("\\\\n");
                break;
            case '\r':
                out.append("\\\\r");
                break;
            case '\t':
                out.append("\\\\t");
                break;
            case '|':
                out.append("\\\\u{7c}");
                break;
            case ',':
                out.append("\\\\u{2c}");
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string encodeStatsd(const MetricBuckets& buckets) {
    std::string out;
    for (const auto& [timestamp, metrics] : buckets) {
        const std::string suffix = "|T" + std::to_string(timestamp) + "\n";
        for (const auto& metric : metrics) {
            if (!metric) continue;
            out += sanitizeMetricName(metric->key());
            out += '@';
            out += sanitizeMetricUnit(metric->unit().unit());
            for (const auto& value : metric->serialize()) {
                out += ':';
                out += value;
            }
            out += '|';
            out += metricTypeLetter(metric->type());
            bool first = true;
            for (const auto& [key, value] : metric->tags()) {
                out += first ? "|#" : ",";
                first = false;
                out += sanitizeMetricTagKey(key);
                out += ':';
                out += escapeMetricTagValue(value);
            }
            out += suffix;
        }
    }
    return out;
}

}  // namespace skald
