#include "core/metrics/metric.h"

#include <time.h>

#include <algorithm>
#include <charconv>

namespace skald {

namespace {

uint64_t monotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

std::string_view metricTypeLetter(MetricType type) {
    switch (type) {
        case MetricType::Counter:
            return "c";
        case MetricType::Gauge:
            return "g";
        case MetricType::Distribution:
            return "d";
        case MetricType::Set:
            return "s";
    }
    return "";
}

std::optional<MetricType> metricTypeForLetter(std::string_view letter) {
    if (letter == "c") return MetricType::Counter;
    if (letter == "g") return MetricType::Gauge;
    if (letter == "d") return MetricType::Distribution;
    if (letter == "s") return MetricType::Set;
    return std::nullopt;
}

std::string formatMetricValue(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    // Infinity and NaN never get here: the API drops them.
    if (text.find_first_of(".en") != std::string::npos) {
        const auto exponent = text.find('e');
        if (exponent != std::string::npos && text.find('.') == std::string::npos)
            text.insert(exponent, ".0");
        return text;
    }
    return text + ".0";
}

std::unique_ptr<MetricBase> MetricBase::make(MetricType type, double firstValue, std::string key,
                                             MeasurementUnit unit, MetricTags tags) {
    switch (type) {
        case MetricType::Counter:
            return std::make_unique<CounterMetric>(firstValue, std::move(key), std::move(unit),
                                                   std::move(tags));
        case MetricType::Gauge:
            return std::make_unique<GaugeMetric>(firstValue, std::move(key), std::move(unit),
                                                 std::move(tags));
        case MetricType::Distribution:
            return std::make_unique<DistributionMetric>(firstValue, std::move(key), std::move(unit),
                                                        std::move(tags));
        case MetricType::Set:
            return std::make_unique<SetMetric>(firstValue, std::move(key), std::move(unit),
                                               std::move(tags));
    }
    return nullptr;
}

std::vector<std::string> CounterMetric::serialize() const {
    return {formatMetricValue(value_)};
}

void CounterMetric::merge(const MetricBase& other) {
    if (auto* counter = dynamic_cast<const CounterMetric*>(&other)) value_ += counter->value_;
}

GaugeMetric::GaugeMetric(double first, std::string key, MeasurementUnit unit, MetricTags tags)
    : MetricBase(MetricType::Gauge, std::move(key), std::move(unit), std::move(tags)),
      last_(first),
      min_(first),
      max_(first),
      sum_(first),
      lastAt_(monotonicNanoseconds()) {}

void GaugeMetric::add(double value) {
    last_ = value;
    lastAt_ = monotonicNanoseconds();
    min_ = std::min(min_, value);
    max_ = std::max(max_, value);
    sum_ += value;
    ++count_;
}

std::vector<std::string> GaugeMetric::serialize() const {
    return {formatMetricValue(last_), formatMetricValue(min_), formatMetricValue(max_),
            formatMetricValue(sum_), std::to_string(count_)};
}

void GaugeMetric::merge(const MetricBase& other) {
    auto* gauge = dynamic_cast<const GaugeMetric*>(&other);
    if (!gauge) return;
    if (gauge->lastAt_ >= lastAt_) {
        last_ = gauge->last_;
        lastAt_ = gauge->lastAt_;
    }
    min_ = std::min(min_, gauge->min_);
    max_ = std::max(max_, gauge->max_);
    sum_ += gauge->sum_;
    count_ += gauge->count_;
}

std::vector<std::string> DistributionMetric::serialize() const {
    std::vector<std::string> texts;
    texts.reserve(values_.size());
    for (double value : values_) texts.push_back(formatMetricValue(value));
    return texts;
}

void DistributionMetric::merge(const MetricBase& other) {
    if (auto* distribution = dynamic_cast<const DistributionMetric*>(&other))
        values_.insert(values_.end(), distribution->values_.begin(), distribution->values_.end());
}

std::vector<std::string> SetMetric::serialize() const {
    std::vector<std::string> texts;
    texts.reserve(members_.size());
    for (uint64_t member : members_) texts.push_back(std::to_string(member));
    return texts;
}

void SetMetric::merge(const MetricBase& other) {
    if (auto* set = dynamic_cast<const SetMetric*>(&other))
        members_.insert(set->members_.begin(), set->members_.end());
}

}  // namespace skald
