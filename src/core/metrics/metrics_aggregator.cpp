#include "core/metrics/metrics_aggregator.h"

#include <cmath>
#include <limits>
#include <string_view>

#include "core/metrics/local_metrics_aggregator.h"
#include "core/metrics/metric_tag_list.h"
#include "core/metrics/statsd_client.h"
#include "core/metrics/statsd_encoding.h"
#include "skald/platform/timer.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/random.h"

namespace skald {

namespace {

struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};
using ShardBucket =
    std::unordered_map<std::string, std::unique_ptr<MetricBase>, KeyHash, std::equal_to<>>;

std::atomic<uint64_t> gNextAggregatorId{1};

uint64_t secondsSince1970(CurrentDateProvider& provider) {
    const double seconds = std::floor(timeIntervalSince1970(provider.date()));
    return seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
}

}  // namespace

/// One thread's buckets of counters, gauges and distributions; a cache line
/// of its own, so that two threads' locks do not share one.
struct alignas(64) MetricShard {
    std::mutex lock;
    std::map<uint64_t, ShardBucket> buckets;
    std::atomic<bool> threadEnded{false};
};

namespace {

/// Each thread's shard per aggregator, the last one used first.
struct ThreadShards {
    struct Entry {
        uint64_t aggregatorId;
        std::weak_ptr<MetricShard> shard;
    };
    uint64_t lastId = 0;
    MetricShard* last = nullptr;
    std::vector<Entry> entries;

    ~ThreadShards();
};

// Trivially destructible, so that it can still be read after ThreadShards is gone.
thread_local bool tThreadShardsGone = false;
thread_local ThreadShards tThreadShards;

ThreadShards::~ThreadShards() {
    tThreadShardsGone = true;
    for (auto& entry : entries) {
        if (auto shard = entry.shard.lock()) shard->threadEnded.store(true);
    }
}

// Reused by each thread for the bucket key of every value it records.
std::string& bucketKeyBuffer() {
    thread_local std::string buffer;
    buffer.clear();
    return buffer;
}

}  // namespace

std::shared_ptr<BucketMetricsAggregator> BucketMetricsAggregator::make(
    std::shared_ptr<StatsdClient> statsdClient, std::shared_ptr<CurrentDateProvider> dateProvider,
    std::shared_ptr<DispatchQueueWrapper> dispatchQueue, Random& random,
    BeforeEmitMetricCallback beforeEmitMetric, uint64_t totalMaxWeight) {
    auto aggregator = std::make_shared<BucketMetricsAggregator>(
        std::move(statsdClient), std::move(dateProvider), std::move(dispatchQueue),
        random.nextNumber() * kFlushInterval, std::move(beforeEmitMetric), totalMaxWeight);
    aggregator->startTimer();
    return aggregator;
}

BucketMetricsAggregator::BucketMetricsAggregator(
    std::shared_ptr<StatsdClient> statsdClient, std::shared_ptr<CurrentDateProvider> dateProvider,
    std::shared_ptr<DispatchQueueWrapper> dispatchQueue, double flushShift,
    BeforeEmitMetricCallback beforeEmitMetric, uint64_t totalMaxWeight)
    : id_(gNextAggregatorId.fetch_add(1)),
      statsdClient_(std::move(statsdClient)),
      dateProvider_(dateProvider ? std::move(dateProvider) : processDateProvider()),
      dispatchQueue_(std::move(dispatchQueue)),
      beforeEmitMetric_(std::move(beforeEmitMetric)),
      totalMaxWeight_(totalMaxWeight),
      flushShift_(flushShift),
      fallbackShard_(std::make_shared<MetricShard>()) {
    shards_.push_back(fallbackShard_);
}

BucketMetricsAggregator::~BucketMetricsAggregator() {
    std::lock_guard guard(timerLock_);
    if (timer_) timer_->invalidate();
}

void BucketMetricsAggregator::startTimer() {
    if (!dispatchQueue_) return;
    std::weak_ptr<BucketMetricsAggregator> weak = weak_from_this();
    auto timer = dispatchQueue_->scheduleTimer(kFlushInterval, true, [weak] {
        if (auto self = weak.lock()) self->flush(false);
    });
    std::lock_guard guard(timerLock_);
    timer_ = std::move(timer);
}

uint64_t BucketMetricsAggregator::bucketTimestamp() const {
    const uint64_t seconds = secondsSince1970(*dateProvider_);
    return seconds - seconds % 10;
}

MetricShard& BucketMetricsAggregator::threadShard() {
    if (tThreadShardsGone) return *fallbackShard_;
    ThreadShards& cache = tThreadShards;
    if (cache.lastId == id_) return *cache.last;
    std::shared_ptr<MetricShard> shard;
    for (auto it = cache.entries.begin(); it != cache.entries.end();) {
        auto live = it->shard.lock();
        if (!live) {
            it = cache.entries.erase(it);
            continue;
        }
        if (it->aggregatorId == id_) shard = std::move(live);
        ++it;
    }
    if (!shard) {
        shard = std::make_shared<MetricShard>();
        {
            std::lock_guard guard(lock_);
            shards_.push_back(shard);
        }
        cache.entries.push_back({id_, shard});
    }
    cache.lastId = id_;
    cache.last = shard.get();
    return *shard;
}

void BucketMetricsAggregator::add(MetricType type, const std::string& key, double value,
                                  const MeasurementUnit& unit, const MetricTagList& tags,
                                  LocalMetricsAggregator* localAggregator) {
    if (closed_.load(std::memory_order_relaxed)) return;
    if (beforeEmitMetric_ && !beforeEmitMetric_(key, tags.toMap())) return;

    const uint64_t timestamp = bucketTimestamp();
    // Type, name, unit and tags; written in place, as this runs for every value.
    std::string& bucketKey = bucketKeyBuffer();
    bucketKey.resize(1 + lengthPrefixedSize(key) + lengthPrefixedSize(unit.unit()) +
                     tags.keySize());
    char* out = bucketKey.data();
    *out++ = metricTypeLetter(type)[0];
    out = writeLengthPrefixed(out, key);
    out = writeLengthPrefixed(out, unit.unit());
    tags.writeKey(out);

    const uint64_t added = type == MetricType::Set
                               ? addToSet(key, value, unit, tags, timestamp, bucketKey)
                               : addToShard(type, key, value, unit, tags, timestamp, bucketKey);

    if (localAggregator) {
        localAggregator->add(
            type, key, type == MetricType::Set ? static_cast<double>(added) : value, unit, tags);
    }
    if (bucketCount_.load(std::memory_order_relaxed) +
            totalBucketsWeight_.load(std::memory_order_relaxed) >=
        totalMaxWeight_) {
        queueForcedFlush();
    }
}

std::unique_ptr<MetricBase>* BucketMetricsAggregator::indexEntry(uint64_t timestamp,
                                                                 const std::string& bucketKey,
                                                                 bool& newSeries) {
    auto [bucket, newBucket] = index_.try_emplace(timestamp);
    if (newBucket) bucketCount_.fetch_add(1, std::memory_order_relaxed);
    auto [entry, inserted] = bucket->second.try_emplace(bucketKey);
    newSeries = inserted;
    return &entry->second;
}

uint64_t BucketMetricsAggregator::addToShard(MetricType type, const std::string& key, double value,
                                             const MeasurementUnit& unit, const MetricTagList& tags,
                                             uint64_t timestamp, const std::string& bucketKey) {
    // Only the series' first value in this thread and bucket changes the
    // weight of a counter or gauge; a distribution adds one per value.
    const uint64_t valueWeight = type == MetricType::Distribution ? 1 : 0;
    MetricShard& shard = threadShard();
    {
        std::lock_guard guard(shard.lock);
        auto bucket = shard.buckets.find(timestamp);
        if (bucket != shard.buckets.end()) {
            auto metric = bucket->second.find(std::string_view(bucketKey));
            if (metric != bucket->second.end()) {
                metric->second->add(value);
                if (valueWeight)
                    totalBucketsWeight_.fetch_add(valueWeight, std::memory_order_relaxed);
                return valueWeight;
            }
        }
    }

    std::lock_guard indexGuard(lock_);
    std::lock_guard guard(shard.lock);
    auto& metric = shard.buckets[timestamp][bucketKey];
    uint64_t added = valueWeight;
    if (metric) {
        metric->add(value);
    } else {
        metric = MetricBase::make(type, value, key, unit, tags.toMap());
        bool newSeries = false;
        indexEntry(timestamp, bucketKey, newSeries);
        if (newSeries) added = metric->weight();
    }
    if (added) totalBucketsWeight_.fetch_add(added, std::memory_order_relaxed);
    return added;
}

uint64_t BucketMetricsAggregator::addToSet(const std::string& key, double value,
                                           const MeasurementUnit& unit, const MetricTagList& tags,
                                           uint64_t timestamp, const std::string& bucketKey) {
    std::lock_guard guard(lock_);
    bool newSeries = false;
    auto& metric = *indexEntry(timestamp, bucketKey, newSeries);
    uint64_t added;
    if (!metric) {
        metric = MetricBase::make(MetricType::Set, value, key, unit, tags.toMap());
        added = metric->weight();
    } else {
        const uint64_t before = metric->weight();
        metric->add(value);
        added = metric->weight() - before;
    }
    if (added) totalBucketsWeight_.fetch_add(added, std::memory_order_relaxed);
    return added;
}

void BucketMetricsAggregator::queueForcedFlush() {
    if (flushQueued_.exchange(true) || !dispatchQueue_) return;
    std::weak_ptr<BucketMetricsAggregator> weak = weak_from_this();
    dispatchQueue_->dispatchAsync([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->flushQueued_.store(false);
        self->flush(true);
    });
}

void BucketMetricsAggregator::flush(bool force) {
    uint64_t cutoff = std::numeric_limits<uint64_t>::max();
    if (!force) {
        const double seconds =
            timeIntervalSince1970(dateProvider_->date()) - kFlushInterval - flushShift_;
        cutoff = seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
    }

    // Bucket timestamp → bucket key → metric, merged over the shards.
    std::map<uint64_t, std::unordered_map<std::string, std::unique_ptr<MetricBase>>> merged;
    {
        std::lock_guard indexGuard(lock_);
        for (auto shard = shards_.begin(); shard != shards_.end();) {
            bool empty;
            {
                std::lock_guard guard((*shard)->lock);
                auto& buckets = (*shard)->buckets;
                for (auto bucket = buckets.begin();
                     bucket != buckets.end() && bucket->first <= cutoff;) {
                    auto& into = merged[bucket->first];
                    for (auto& [bucketKey, metric] : bucket->second) {
                        auto [entry, inserted] = into.try_emplace(bucketKey);
                        if (inserted) {
                            entry->second = std::move(metric);
                        } else {
                            entry->second->merge(*metric);
                        }
                    }
                    bucket = buckets.erase(bucket);
                }
                empty = buckets.empty();
            }
            if (empty && (*shard)->threadEnded.load() && *shard != fallbackShard_) {
                shard = shards_.erase(shard);
            } else {
                ++shard;
            }
        }
        for (auto bucket = index_.begin(); bucket != index_.end() && bucket->first <= cutoff;) {
            auto& into = merged[bucket->first];
            for (auto& [bucketKey, set] : bucket->second) {
                if (set) into[bucketKey] = std::move(set);
            }
            bucket = index_.erase(bucket);
            bucketCount_.fetch_sub(1, std::memory_order_relaxed);
        }
        uint64_t weight = 0;
        for (const auto& [timestamp, metrics] : merged) {
            for (const auto& [bucketKey, metric] : metrics) weight += metric->weight();
        }
        totalBucketsWeight_.fetch_sub(weight, std::memory_order_relaxed);
    }
    if (merged.empty()) return;

    MetricBuckets buckets;
    for (auto& [timestamp, metrics] : merged) {
        auto& list = buckets[timestamp];
        list.reserve(metrics.size());
        for (auto& [bucketKey, metric] : metrics) list.push_back(std::move(metric));
    }
    if (statsdClient_) statsdClient_->captureStatsdEncodedData(encodeStatsd(buckets));
}

void BucketMetricsAggregator::close() {
    closed_.store(true);
    flush(true);
    std::lock_guard guard(timerLock_);
    if (timer_) timer_->invalidate();
    timer_.reset();
}

}  // namespace skald
