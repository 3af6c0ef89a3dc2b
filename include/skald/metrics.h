#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "skald/measurement.h"
#include "skald/options.h"

namespace skald {

class Client;
class CurrentDateProvider;
class DispatchQueueWrapper;
class LocalMetricsAggregator;
class MetricsAggregator;
class Random;
class Span;
enum class MetricType : uint8_t;

/// What the metrics entry asks of the hub that owns it.
class MetricsAPIDelegate {
  public:
    virtual ~MetricsAPIDelegate() = default;
    /// "release" and "environment" when the options ask for them.
    virtual std::map<std::string, std::string> getDefaultTagsForMetrics() const = 0;
    /// The span bound to the scope, or null.
    virtual std::shared_ptr<Span> getCurrentSpan() = 0;
    /// The span's own summary of the metrics recorded while it was bound; null
    /// for spans that keep none.
    virtual std::shared_ptr<LocalMetricsAggregator> getLocalMetricsAggregator(
        const std::shared_ptr<Span>& span) = 0;
};

/// Custom metrics (`SDK::metrics()`): values are aggregated in 10-second
/// buckets per type, name, unit and tags and sent as statsd lines. Every
/// value also lands in the summary of the span bound to the scope. Safe from
/// any thread; nothing is recorded while metrics are disabled
/// (`Options::enableMetrics`). Infinite and NaN values are dropped.
class MetricsAPI {
  public:
    using Tags = std::map<std::string, std::string>;

    /// Starts the aggregator's flush timer on `dispatchQueue` when enabled.
    MetricsAPI(bool enabled, std::shared_ptr<Client> client,
               std::shared_ptr<CurrentDateProvider> dateProvider,
               std::shared_ptr<DispatchQueueWrapper> dispatchQueue, Random& random,
               BeforeEmitMetricCallback beforeEmitMetric);
    /// For tests: values go to `aggregator`.
    explicit MetricsAPI(std::shared_ptr<MetricsAggregator> aggregator);
    ~MetricsAPI();
    MetricsAPI(const MetricsAPI&) = delete;
    MetricsAPI& operator=(const MetricsAPI&) = delete;

    /// Not owned: the delegate (the hub) owns this entry. Set before the first value.
    void setDelegate(MetricsAPIDelegate* delegate) { delegate_ = delegate; }

    /// A counter.
    void increment(const std::string& key, double value = 1.0,
                   const MeasurementUnit& unit = MeasurementUnit::none(), const Tags& tags = {});
    /// Last, minimum, maximum, sum and count of the values.
    void gauge(const std::string& key, double value,
               const MeasurementUnit& unit = MeasurementUnit::none(), const Tags& tags = {});
    /// Every value.
    void distribution(const std::string& key, double value,
                      const MeasurementUnit& unit = MeasurementUnit::none(), const Tags& tags = {});
    /// The number of different values (each is counted by the CRC-32 of its UTF-8 bytes).
    void set(const std::string& key, const std::string& value,
             const MeasurementUnit& unit = MeasurementUnit::none(), const Tags& tags = {});
    /// Runs `block` in a "metric.timing" child of the span bound to the scope
    /// and records its duration in seconds as a distribution. Without a bound
    /// span the block runs and nothing is recorded. An exception of the block
    /// ends the child span with "internal_error" and goes on to the caller.
    void timing(const std::string& key, const Tags& tags, const std::function<void()>& block);
    void timing(const std::string& key, const std::function<void()>& block) {
        timing(key, {}, block);
    }

    /// Sends every bucket now, from the calling thread.
    void flush();
    /// Sends every bucket and stops the timer; later values are dropped.
    void close();

  private:
    void record(MetricType type, const std::string& key, double value, const MeasurementUnit& unit,
                const Tags& tags);
    const Tags& defaultTags();

    std::shared_ptr<MetricsAggregator> aggregator_;
    MetricsAPIDelegate* delegate_ = nullptr;
    std::once_flag defaultTagsOnce_;
    Tags defaultTags_;
};

}  // namespace skald
