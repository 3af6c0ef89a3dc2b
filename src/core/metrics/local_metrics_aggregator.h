#pragma once

#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/metrics/metric.h"
#include "skald/json.h"

namespace skald {

class MetricTagList;

/// The summary of the metrics recorded while one span was bound to the
/// scope: min, max, count and sum per series. Thread-safe.
class LocalMetricsAggregator {
  public:
    void add(MetricType type, const std::string& key, double value, const MeasurementUnit& unit,
             const MetricTagList& tags);

    /// {export key: [{"min", "max", "count", "sum", "tags" when any}, ...]},
    /// export key "<type letter>:<name>[@<unit>]".
    Json serialize() const;

  private:
    struct Summary {
        double min, max, sum;
        uint64_t count;
        MetricTags tags;
    };
    mutable std::mutex lock_;
    // Export key → tags key → summary.
    std::map<std::string, std::unordered_map<std::string, Summary>> summaries_;
};

}  // namespace skald
