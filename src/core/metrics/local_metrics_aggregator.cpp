#include "core/metrics/local_metrics_aggregator.h"

#include <algorithm>

#include "core/metrics/metric_tag_list.h"

namespace skald {

void LocalMetricsAggregator::add(MetricType type, const std::string& key, double value,
                                 const MeasurementUnit& unit, const MetricTagList& tags) {
    std::string exportKey(metricTypeLetter(type));
    exportKey += ':';
    exportKey += key;
    if (!unit.unit().empty()) {
        exportKey += '@';
        exportKey += unit.unit();
    }
    std::string tagsKey = tags.key();

    std::lock_guard guard(lock_);
    auto& series = summaries_[exportKey];
    auto found = series.find(tagsKey);
    if (found == series.end()) {
        series.emplace(std::move(tagsKey), Summary{value, value, value, 1, tags.toMap()});
        return;
    }
    Summary& summary = found->second;
    summary.min = std::min(summary.min, value);
    summary.max = std::max(summary.max, value);
    summary.sum += value;
    ++summary.count;
}

Json LocalMetricsAggregator::serialize() const {
    Json json = Json::object();
    std::lock_guard guard(lock_);
    for (const auto& [exportKey, series] : summaries_) {
        Json list = Json::array();
        for (const auto& [tagsKey, summary] : series) {
            Json entry = {{"min", summary.min},
                          {"max", summary.max},
                          {"count", summary.count},
                          {"sum", summary.sum}};
            if (!summary.tags.empty()) entry["tags"] = summary.tags;
            list.push_back(std::move(entry));
        }
        json[exportKey] = std::move(list);
    }
    return json;
}

}  // namespace skald
