#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/metrics/metric.h"
#include "skald/options.h"

namespace skald {

namespace platform {
class Timer;
}

class CurrentDateProvider;
class DispatchQueueWrapper;
class LocalMetricsAggregator;
class MetricTagList;
class Random;
class StatsdClient;
struct MetricShard;

/// Where recorded values go.
class MetricsAggregator {
  public:
    virtual ~MetricsAggregator() = default;
    virtual void add(MetricType type, const std::string& key, double value,
                     const MeasurementUnit& unit, const MetricTagList& tags,
                     LocalMetricsAggregator* localAggregator) = 0;
    /// Sends closed buckets, or every bucket when `force`.
    virtual void flush(bool force) = 0;
    /// A last forced flush; the timer stops and later values are dropped.
    virtual void close() = 0;
};

/// Used while metrics are disabled.
class NoOpMetricsAggregator final : public MetricsAggregator {
  public:
    void add(MetricType, const std::string&, double, const MeasurementUnit&, const MetricTagList&,
             LocalMetricsAggregator*) override {}
    void flush(bool) override {}
    void close() override {}
};

/// Aggregates values into 10-second buckets keyed by type, name, unit and
/// tags, and sends closed buckets as statsd lines every 10 seconds (shifted by
/// a random part of the interval), when the weight limit is reached, and on
/// flush and close.
///
/// Counters, gauges and distributions are aggregated per recording thread
/// (each thread locks only its own shard), so that threads recording the same
/// series do not wait for each other; an index of the series of each bucket,
/// under the aggregator's lock, is touched only when a thread starts a series
/// and keeps the weight exactly as one shared map would. Sets live in the
/// index itself. Flush merges the shards.
class BucketMetricsAggregator final : public MetricsAggregator,
                                      public std::enable_shared_from_this<BucketMetricsAggregator> {
  public:
    static constexpr uint64_t kTotalMaxWeight = 1000;
    static constexpr double kFlushInterval = 10;

    /// Starts the flush timer on `dispatchQueue`.
    static std::shared_ptr<BucketMetricsAggregator> make(
        std::shared_ptr<StatsdClient> statsdClient,
        std::shared_ptr<CurrentDateProvider> dateProvider,
        std::shared_ptr<DispatchQueueWrapper> dispatchQueue, Random& random,
        BeforeEmitMetricCallback beforeEmitMetric, uint64_t totalMaxWeight = kTotalMaxWeight);
    ~BucketMetricsAggregator() override;

    void add(MetricType type, const std::string& key, double value, const MeasurementUnit& unit,
             const MetricTagList& tags, LocalMetricsAggregator* localAggregator) override;
    void flush(bool force) override;
    void close() override;

    /// Seconds in [0, 10) by which the timer's cutoff trails the bucket ends.
    double flushShift() const { return flushShift_; }
    uint64_t totalBucketsWeight() const { return totalBucketsWeight_.load(); }
    uint64_t bucketCount() const { return bucketCount_.load(); }

    BucketMetricsAggregator(std::shared_ptr<StatsdClient> statsdClient,
                            std::shared_ptr<CurrentDateProvider> dateProvider,
                            std::shared_ptr<DispatchQueueWrapper> dispatchQueue, double flushShift,
                            BeforeEmitMetricCallback beforeEmitMetric, uint64_t totalMaxWeight);

  private:
    using IndexBucket = std::unordered_map<std::string, std::unique_ptr<MetricBase>>;

    uint64_t bucketTimestamp() const;
    MetricShard& threadShard();
    uint64_t addToShard(MetricType type, const std::string& key, double value,
                        const MeasurementUnit& unit, const MetricTagList& tags, uint64_t timestamp,
                        const std::string& bucketKey);
    uint64_t addToSet(const std::string& key, double value, const MeasurementUnit& unit,
                      const MetricTagList& tags, uint64_t timestamp, const std::string& bucketKey);
    /// Under lock_: the index entry of a series; counts a new bucket.
    std::unique_ptr<MetricBase>* indexEntry(uint64_t timestamp, const std::string& bucketKey,
                                            bool& newSeries);
    void queueForcedFlush();
    void startTimer();

    const uint64_t id_;
    const std::shared_ptr<StatsdClient> statsdClient_;
    const std::shared_ptr<CurrentDateProvider> dateProvider_;
    const std::shared_ptr<DispatchQueueWrapper> dispatchQueue_;
    const BeforeEmitMetricCallback beforeEmitMetric_;
    const uint64_t totalMaxWeight_;
    const double flushShift_;

    std::mutex timerLock_;
    std::shared_ptr<platform::Timer> timer_;

    // Guards index_, shards_ and the shards' bucket maps while a flush takes
    // them apart. Taken before a shard's lock, never after.
    std::mutex lock_;
    std::map<uint64_t, IndexBucket> index_;
    std::vector<std::shared_ptr<MetricShard>> shards_;
    /// For threads whose own shard is gone (their thread-local storage ended).
    std::shared_ptr<MetricShard> fallbackShard_;

    // Read by every value, written only when weight changes: kept apart from
    // the lines the recording threads write.
    alignas(64) std::atomic<uint64_t> totalBucketsWeight_{0};
    std::atomic<uint64_t> bucketCount_{0};
    std::atomic<bool> flushQueued_{false};
    std::atomic<bool> closed_{false};
};

}  // namespace skald
