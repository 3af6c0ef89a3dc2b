#include <zlib.h>

#include <cmath>

#include "core/metrics/local_metrics_aggregator.h"
#include "core/metrics/metric_tag_list.h"
#include "core/metrics/metrics_aggregator.h"
#include "core/metrics/statsd_client.h"
#include "skald/metrics.h"
#include "skald/span.h"
#include "util/log.h"

namespace skald {

MetricsAPI::MetricsAPI(bool enabled, std::shared_ptr<Client> client,
                       std::shared_ptr<CurrentDateProvider> dateProvider,
                       std::shared_ptr<DispatchQueueWrapper> dispatchQueue, Random& random,
                       BeforeEmitMetricCallback beforeEmitMetric) {
    if (enabled) {
        aggregator_ = BucketMetricsAggregator::make(
            std::make_shared<StatsdClient>(std::move(client)), std::move(dateProvider),
            std::move(dispatchQueue), random, std::move(beforeEmitMetric));
    } else {
        aggregator_ = std::make_shared<NoOpMetricsAggregator>();
    }
}

MetricsAPI::MetricsAPI(std::shared_ptr<MetricsAggregator> aggregator)
    : aggregator_(aggregator ? std::move(aggregator) : std::make_shared<NoOpMetricsAggregator>()) {}

MetricsAPI::~MetricsAPI() = default;

// The release and environment do not change while the SDK runs: they are read
// once instead of for every value.
const MetricsAPI::Tags& MetricsAPI::defaultTags() {
    std::call_once(defaultTagsOnce_, [this] {
        if (delegate_) defaultTags_ = delegate_->getDefaultTagsForMetrics();
    });
    return defaultTags_;
}

void MetricsAPI::record(MetricType type, const std::string& key, double value,
                        const MeasurementUnit& unit, const Tags& tags) {
    if (!std::isfinite(value)) {
        SKALD_LOG_DEBUG("Dropped the metric %s: its value is not a finite number.", key.c_str());
        return;
    }
    const MetricTagList merged(tags, defaultTags());
    std::shared_ptr<LocalMetricsAggregator> local;
    if (delegate_) {
        if (auto span = delegate_->getCurrentSpan())
            local = delegate_->getLocalMetricsAggregator(span);
    }
    aggregator_->add(type, key, value, unit, merged, local.get());
}

void MetricsAPI::increment(const std::string& key, double value, const MeasurementUnit& unit,
                           const Tags& tags) {
    record(MetricType::Counter, key, value, unit, tags);
}

void MetricsAPI::gauge(const std::string& key, double value, const MeasurementUnit& unit,
                       const Tags& tags) {
    record(MetricType::Gauge, key, value, unit, tags);
}

void MetricsAPI::distribution(const std::string& key, double value, const MeasurementUnit& unit,
                              const Tags& tags) {
    record(MetricType::Distribution, key, value, unit, tags);
}

void MetricsAPI::set(const std::string& key, const std::string& value, const MeasurementUnit& unit,
                     const Tags& tags) {
    const uLong member =
        ::crc32(0L, reinterpret_cast<const Bytef*>(value.data()), static_cast<uInt>(value.size()));
    record(MetricType::Set, key, static_cast<double>(member), unit, tags);
}

void MetricsAPI::timing(const std::string& key, const Tags& tags,
                        const std::function<void()>& block) {
    auto span = delegate_ ? delegate_->getCurrentSpan() : nullptr;
    if (!span) {
        if (block) block();
        return;
    }
    auto child = span->startChild("metric.timing", key);
    const MetricTagList merged(tags, defaultTags());
    for (const auto& tag : merged) child->setTag(*tag.key, *tag.value);
    if (block) {
        try {
            block();
        } catch (...) {
            child->finish(SpanStatus::InternalError);
            throw;
        }
    }
    child->finish();
    const auto start = child->startTimestamp();
    const auto end = child->timestamp();
    if (!start || !end) return;
    const double seconds = std::chrono::duration<double>(*end - *start).count();
    auto local = delegate_->getLocalMetricsAggregator(child);
    aggregator_->add(MetricType::Distribution, key, seconds, MeasurementUnit::Duration::second(),
                     merged, local.get());
}

void MetricsAPI::flush() {
    aggregator_->flush(true);
}

void MetricsAPI::close() {
    aggregator_->close();
}

}  // namespace skald
