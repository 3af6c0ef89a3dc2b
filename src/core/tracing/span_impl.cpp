#include "core/tracing/span_impl.h"

#include <unistd.h>

#include <utility>

#include "core/dependency_container.h"
#include "core/metrics/local_metrics_aggregator.h"
#include "core/profiling_hooks.h"
#include "core/thread_inspector.h"
#include "core/tracing/no_op_span.h"
#include "core/tracing/tracer.h"
#include "skald/baggage.h"
#include "skald/platform/main_queue.h"
#include "util/current_date_provider.h"
#include "util/log.h"
#include "util/sanitize.h"

namespace skald {

namespace {

struct ThreadInfo {
    int id;
    std::shared_ptr<const std::string> name;
};

/// Read once per thread: the name comes from the kernel, and spans are
/// started far more often than threads are renamed.
const ThreadInfo& currentThreadInfo() {
    thread_local const ThreadInfo info = [] {
        const auto id = static_cast<int>(::gettid());
        std::string name = platform::MainQueue::isMainThread()
                               ? "main"
                               : ThreadInspector::getThreadName(id).value_or("");
        return ThreadInfo{id, std::make_shared<const std::string>(std::move(name))};
    }();
    return info;
}

}  // namespace

SpanImpl::ClockAnchor SpanImpl::ClockAnchor::now(std::shared_ptr<CurrentDateProvider> provider) {
    if (!provider) provider = processDateProvider();
    ClockAnchor anchor;
    anchor.systemTime = provider->systemTime();
    anchor.date = provider->date();
    anchor.provider = std::move(provider);
    return anchor;
}

Date SpanImpl::ClockAnchor::dateAt(uint64_t time) const {
    const auto offset = std::chrono::nanoseconds(static_cast<int64_t>(time - systemTime));
    return date + std::chrono::duration_cast<Date::duration>(offset);
}

SpanImpl::SpanImpl(SpanContext context)
    : SpanImpl(std::move(context),
               ClockAnchor::now(DependencyContainer::sharedInstance()->dateProvider())) {}

SpanImpl::SpanImpl(SpanContext context, const ClockAnchor& anchor)
    : context_(std::move(context)), anchor_(anchor) {
    const ThreadInfo& thread = currentThreadInfo();
    threadId_ = thread.id;
    threadName_ = thread.name;
    startSystemTime_ = anchor_.systemTime;
    startTimestamp_ = anchor_.date;
}

SpanImpl::SpanImpl(SpanContext context, std::weak_ptr<Tracer> tracer, const ClockAnchor& anchor)
    : context_(std::move(context)), anchor_(anchor), tracer_(std::move(tracer)) {
    const ThreadInfo& thread = currentThreadInfo();
    threadId_ = thread.id;
    threadName_ = thread.name;
    startSystemTime_ = anchor_.provider->systemTime();
    startTimestamp_ = anchor_.dateAt(startSystemTime_);
}

SpanImpl::~SpanImpl() = default;

Date SpanImpl::now() const {
    return anchor_.dateAt(anchor_.provider->systemTime());
}

std::shared_ptr<Span> SpanImpl::startChild(const std::string& operation,
                                           const std::optional<std::string>& description) {
    auto tracer = tracer_.lock();
    if (!tracer) {
        SKALD_LOG_DEBUG("No tracer, returning no-op span");
        return NoOpSpan::shared();
    }
    return tracer->startChildWithParentId(context_.spanId(), operation, description);
}

Json SpanImpl::threadData() const {
    Json data = Json::object();
    data["thread.id"] = threadId_;
    data["thread.name"] = threadName_ ? *threadName_ : std::string();
    return data;
}

void SpanImpl::setData(const std::string& key, Json value) {
    std::lock_guard guard(dataMutex_);
    if (!dataChanged_) {
        data_ = threadData();
        dataChanged_ = true;
    }
    if (value.is_null()) {
        data_.erase(key);
    } else {
        data_[key] = std::move(value);
    }
}

void SpanImpl::removeData(const std::string& key) {
    setData(key, Json());
}

Json SpanImpl::data() const {
    std::lock_guard guard(dataMutex_);
    return dataChanged_ ? data_ : threadData();
}

void SpanImpl::setTag(const std::string& key, const std::string& value) {
    std::lock_guard guard(tagsMutex_);
    tags_[key] = value;
}

void SpanImpl::removeTag(const std::string& key) {
    std::lock_guard guard(tagsMutex_);
    tags_.erase(key);
}

std::map<std::string, std::string> SpanImpl::tags() const {
    std::lock_guard guard(tagsMutex_);
    return tags_;
}

void SpanImpl::setMeasurement(const std::string& name, double value,
                              std::optional<MeasurementUnit> unit) {
    if (auto tracer = tracer_.lock()) tracer->setMeasurement(name, value, std::move(unit));
}

SpanStatus SpanImpl::status() const {
    std::lock_guard guard(stateMutex_);
    return status_;
}

void SpanImpl::setStatus(SpanStatus status) {
    std::lock_guard guard(stateMutex_);
    status_ = status;
}

std::optional<Date> SpanImpl::startTimestamp() const {
    std::lock_guard guard(stateMutex_);
    return startTimestamp_;
}

std::optional<Date> SpanImpl::timestamp() const {
    std::lock_guard guard(stateMutex_);
    return timestamp_;
}

void SpanImpl::setStartTimestamp(Date date) {
    std::lock_guard guard(stateMutex_);
    startTimestamp_ = date;
}

void SpanImpl::setTimestamp(Date date) {
    std::lock_guard guard(stateMutex_);
    timestamp_ = date;
}

void SpanImpl::finish() {
    SKALD_LOG_DEBUG("Attempting to finish span with id %s", context_.spanId().value().c_str());
    finish(SpanStatus::Ok);
}

void SpanImpl::observeContinuousProfiler() {
    auto hooks = ProfilingHooks::shared();
    // Read before the id, so that a profiler starting in between is not missed.
    const uint64_t starts = hooks->continuousProfilerStartCount();
    // Spans are started often and continuous profiling is rarely on: no
    // profiler has started yet is the common case, and needs no lookup.
    auto id = starts > 0 ? hooks->continuousProfilerId() : std::nullopt;
    std::lock_guard guard(stateMutex_);
    if (id) {
        profileSessionId_ = std::move(id);
    } else {
        continuousStartsSeen_ = starts;
    }
}

bool SpanImpl::finishLocally(SpanStatus status) {
    std::optional<uint64_t> startsSeen;
    {
        std::lock_guard guard(stateMutex_);
        startsSeen = std::exchange(continuousStartsSeen_, std::nullopt);
    }
    std::optional<std::string> startedId;
    if (startsSeen) {
        auto hooks = ProfilingHooks::shared();
        if (hooks->continuousProfilerStartCount() != *startsSeen) {
            startedId = hooks->startedContinuousProfilerId();
        }
    }
    std::lock_guard guard(stateMutex_);
    if (startedId) profileSessionId_ = std::move(startedId);
    status_ = status;
    const bool wasFinished = finished_.exchange(true, std::memory_order_acq_rel);
    if (!timestamp_) {
        const uint64_t time = anchor_.provider->systemTime();
        timestamp_ = anchor_.dateAt(time);
        SKALD_LOG_DEBUG("Setting span timestamp: %f at system time %llu",
                        timeIntervalSince1970(*timestamp_), static_cast<unsigned long long>(time));
    }
    return !wasFinished;
}

void SpanImpl::finish(SpanStatus status) {
    finishLocally(status);
    if (auto tracer = tracer_.lock()) {
        tracer->spanFinished(*this);
    } else {
        SKALD_LOG_DEBUG("No tracer associated with span with id %s",
                        context_.spanId().value().c_str());
    }
}

TraceHeader SpanImpl::toTraceHeader() const {
    return TraceHeader(context_.traceId(), context_.spanId(), context_.sampled());
}

std::optional<TraceContext> SpanImpl::traceContext() const {
    auto tracer = tracer_.lock();
    return tracer ? tracer->traceContext() : std::nullopt;
}

std::optional<std::string> SpanImpl::baggageHttpHeader() const {
    const auto context = traceContext();
    if (!context) return std::nullopt;
    return context->toBaggage().toHTTPHeader();
}

void SpanImpl::setFrames(std::vector<std::shared_ptr<Frame>> frames) {
    std::lock_guard guard(stateMutex_);
    frames_ = std::move(frames);
}

std::vector<std::shared_ptr<Frame>> SpanImpl::frames() const {
    std::lock_guard guard(stateMutex_);
    return frames_;
}

std::shared_ptr<LocalMetricsAggregator> SpanImpl::getLocalMetricsAggregator() {
    std::lock_guard guard(stateMutex_);
    if (!localMetricsAggregator_)
        localMetricsAggregator_ = std::make_shared<LocalMetricsAggregator>();
    return localMetricsAggregator_;
}

std::optional<std::string> SpanImpl::profileSessionId() const {
    std::lock_guard guard(stateMutex_);
    return profileSessionId_;
}

Json SpanImpl::serialize() const {
    Json json = context_.serialize();
    Date start;
    std::optional<Date> end;
    SpanStatus status;
    std::vector<std::shared_ptr<Frame>> frames;
    std::optional<std::string> profileSessionId;
    std::shared_ptr<LocalMetricsAggregator> metrics;
    {
        std::lock_guard guard(stateMutex_);
        metrics = localMetricsAggregator_;
        start = startTimestamp_;
        end = timestamp_;
        status = status_;
        frames = frames_;
        profileSessionId = profileSessionId_;
    }
    if (status != SpanStatus::Undefined) json["status"] = nameForSpanStatus(status);
    if (end) json["timestamp"] = timeIntervalSince1970(*end);
    json["start_timestamp"] = timeIntervalSince1970(start);
    if (metrics) json["_metrics_summary"] = metrics->serialize();

    Json data = this->data();
    if (!data.empty()) {
        Json sanitized = sanitizeDictionary(data).value_or(Json::object());
        if (!frames.empty()) {
            Json callStack = Json::array();
            for (const auto& frame : frames) callStack.push_back(frame->serialize());
            sanitized["call_stack"] = std::move(callStack);
        }
        json["data"] = std::move(sanitized);
    }
    const auto tags = this->tags();
    if (!tags.empty()) json["tags"] = tags;
    if (profileSessionId) json["profiler_id"] = *profileSessionId;
    return json;
}

}  // namespace skald
