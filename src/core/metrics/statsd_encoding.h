#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/metrics/metric.h"

namespace skald {

/// Bucket timestamp → the metrics of that bucket.
using MetricBuckets = std::map<uint64_t, std::vector<std::unique_ptr<MetricBase>>>;

/// Every run of characters outside [a-zA-Z0-9_.-] becomes one "_".
std::string sanitizeMetricName(std::string_view name);
/// Every character outside [a-zA-Z0-9_] is removed.
std::string sanitizeMetricUnit(std::string_view unit);
/// Every character outside [a-zA-Z0-9_/.-] is removed.
std::string sanitizeMetricTagKey(std::string_view key);
/// Backslashes, line breaks, tabs, "|" and "," written as escapes.
std::string escapeMetricTagValue(std::string_view value);

/// One statsd line per metric:
/// name@unit:value[:value...]|type[|#key:value,...]|T<timestamp>\n
std::string encodeStatsd(const MetricBuckets& buckets);

}  // namespace skald
