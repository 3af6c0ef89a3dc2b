#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "skald/measurement.h"

namespace skald {

using MetricTags = std::map<std::string, std::string>;

enum class MetricType : uint8_t { Counter = 0, Gauge = 1, Distribution = 2, Set = 3 };

/// "c", "g", "d" or "s".
std::string_view metricTypeLetter(MetricType type);
/// The type of a statsd letter; nothing for any other text.
std::optional<MetricType> metricTypeForLetter(std::string_view letter);

/// Shortest decimal text that reads back to the same double, always with a
/// fraction part ("1.0", "0.25", "1.0e+20").
std::string formatMetricValue(double value);

/// One aggregated series of a bucket: its identity and the values added so far.
class MetricBase {
  public:
    MetricBase(MetricType type, std::string key, MeasurementUnit unit, MetricTags tags)
        : type_(type), key_(std::move(key)), unit_(std::move(unit)), tags_(std::move(tags)) {}
    virtual ~MetricBase() = default;

    MetricType type() const { return type_; }
    const std::string& key() const { return key_; }
    const MeasurementUnit& unit() const { return unit_; }
    const MetricTags& tags() const { return tags_; }

    virtual void add(double value) = 0;
    /// How much of the aggregator's weight limit this metric takes.
    virtual uint64_t weight() const = 0;
    /// The value texts of its statsd line.
    virtual std::vector<std::string> serialize() const = 0;
    /// Takes in what another copy of the same series gathered elsewhere.
    virtual void merge(const MetricBase& other) = 0;

    /// A metric of `type` made from its first value.
    static std::unique_ptr<MetricBase> make(MetricType type, double firstValue, std::string key,
                                            MeasurementUnit unit, MetricTags tags);

  private:
    MetricType type_;
    std::string key_;
    MeasurementUnit unit_;
    MetricTags tags_;
};

class CounterMetric final : public MetricBase {
  public:
    CounterMetric(double first, std::string key, MeasurementUnit unit, MetricTags tags)
        : MetricBase(MetricType::Counter, std::move(key), std::move(unit), std::move(tags)),
          value_(first) {}
    void add(double value) override { value_ += value; }
    uint64_t weight() const override { return 1; }
    std::vector<std::string> serialize() const override;
    void merge(const MetricBase& other) override;
    double value() const { return value_; }

  private:
    double value_;
};

class GaugeMetric final : public MetricBase {
  public:
    GaugeMetric(double first, std::string key, MeasurementUnit unit, MetricTags tags);
    void add(double value) override;
    uint64_t weight() const override { return 5; }
    /// last, min, max, sum, count.
    std::vector<std::string> serialize() const override;
    /// The later of the two last values stays last.
    void merge(const MetricBase& other) override;

  private:
    double last_, min_, max_, sum_;
    uint64_t count_ = 1;
    /// Monotonic time of the last value, so that merged copies agree on "last".
    uint64_t lastAt_;
};

class DistributionMetric final : public MetricBase {
  public:
    DistributionMetric(double first, std::string key, MeasurementUnit unit, MetricTags tags)
        : MetricBase(MetricType::Distribution, std::move(key), std::move(unit), std::move(tags)),
          values_{first} {}
    void add(double value) override { values_.push_back(value); }
    uint64_t weight() const override { return values_.size(); }
    std::vector<std::string> serialize() const override;
    void merge(const MetricBase& other) override;

  private:
    std::vector<double> values_;
};

/// Members are unsigned integers (the API hashes set values to them).
class SetMetric final : public MetricBase {
  public:
    SetMetric(double first, std::string key, MeasurementUnit unit, MetricTags tags)
        : MetricBase(MetricType::Set, std::move(key), std::move(unit), std::move(tags)) {
        add(first);
    }
    void add(double value) override { members_.insert(static_cast<uint64_t>(value)); }
    uint64_t weight() const override { return members_.size(); }
    std::vector<std::string> serialize() const override;
    void merge(const MetricBase& other) override;

  private:
    std::unordered_set<uint64_t> members_;
};

}  // namespace skald
