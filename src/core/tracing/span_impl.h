#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "skald/frame.h"
#include "skald/span.h"
#include "skald/span_context.h"

namespace skald {

class CurrentDateProvider;
class LocalMetricsAggregator;
class Tracer;

/// A span of a transaction. Its timestamps come from one monotonic clock
/// reading each, placed on the wall clock through the anchor its tracer took
/// at start, so that a span's times nest inside its parent's even when the
/// wall clock is set while the transaction runs.
class SpanImpl : public Span, public std::enable_shared_from_this<SpanImpl> {
  public:
    /// Where a monotonic time lies on the wall clock.
    struct ClockAnchor {
        std::shared_ptr<CurrentDateProvider> provider;
        Date date;
        uint64_t systemTime = 0;

        static ClockAnchor now(std::shared_ptr<CurrentDateProvider> provider);
        Date dateAt(uint64_t systemTime) const;
    };

    /// A span without a tracer: it finishes locally and is never sent.
    explicit SpanImpl(SpanContext context);
    /// A tracer's child; `anchor` is the tracer's.
    SpanImpl(SpanContext context, std::weak_ptr<Tracer> tracer, const ClockAnchor& anchor);
    ~SpanImpl() override;

    Id traceId() const override { return context_.traceId(); }
    SpanId spanId() const override { return context_.spanId(); }
    std::optional<SpanId> parentSpanId() const override { return context_.parentSpanId(); }
    SampleDecision sampled() const override { return context_.sampled(); }
    std::string operation() const override { return context_.operation(); }
    std::optional<std::string> spanDescription() const override {
        return context_.spanDescription();
    }
    std::string origin() const override { return context_.origin(); }
    const SpanContext& context() const { return context_; }

    std::shared_ptr<Span> startChild(const std::string& operation,
                                     const std::optional<std::string>& description) override;

    void setData(const std::string& key, Json value) override;
    void removeData(const std::string& key) override;
    Json data() const override;
    void setTag(const std::string& key, const std::string& value) override;
    void removeTag(const std::string& key) override;
    std::map<std::string, std::string> tags() const override;
    void setMeasurement(const std::string& name, double value,
                        std::optional<MeasurementUnit> unit) override;

    SpanStatus status() const override;
    void setStatus(SpanStatus status) override;
    std::optional<Date> startTimestamp() const override;
    std::optional<Date> timestamp() const override;
    void setStartTimestamp(Date date);
    void setTimestamp(Date date);
    uint64_t startSystemTime() const { return startSystemTime_; }

    bool isFinished() const override { return finished_.load(std::memory_order_acquire); }
    void finish() override;
    void finish(SpanStatus status) override;

    TraceHeader toTraceHeader() const override;
    std::optional<std::string> baggageHttpHeader() const override;
    std::optional<TraceContext> traceContext() const override;

    Json serialize() const override;

    /// Where the span was started, recorded by instrumentation.
    void setFrames(std::vector<std::shared_ptr<Frame>> frames);
    std::vector<std::shared_ptr<Frame>> frames() const;
    std::optional<std::string> profileSessionId() const;
    /// With continuous profiling on: the running profiler's id, else the id
    /// of one that starts before the span finishes.
    void observeContinuousProfiler();

    std::shared_ptr<Tracer> tracer() const { return tracer_.lock(); }

    /// The summary of the metrics recorded while this span was bound; made on first use.
    std::shared_ptr<LocalMetricsAggregator> getLocalMetricsAggregator();

    /// Sets the end timestamp (unless set), the status and the finished flag,
    /// without telling the tracer; false when the span had already finished.
    bool finishLocally(SpanStatus status);

  protected:
    /// For the tracer, which is its own anchor.
    SpanImpl(SpanContext context, const ClockAnchor& anchor);

    Date now() const;

    SpanContext context_;
    ClockAnchor anchor_;

  private:
    friend class Tracer;
    Json threadData() const;

    /// The next child of the same tracer, in start order; guarded by the
    /// tracer's children lock.
    std::shared_ptr<SpanImpl> nextSibling_;

    mutable std::mutex dataMutex_;
    /// Null until the first change: the thread entries are added on demand.
    Json data_;
    bool dataChanged_ = false;

    mutable std::mutex tagsMutex_;
    std::map<std::string, std::string> tags_;

    mutable std::mutex stateMutex_;
    std::atomic<bool> finished_{false};
    SpanStatus status_ = SpanStatus::Undefined;
    Date startTimestamp_;
    std::optional<Date> timestamp_;
    std::vector<std::shared_ptr<Frame>> frames_;
    std::optional<std::string> profileSessionId_;
    /// While set, a continuous profiler that starts before the span finishes
    /// gives it its id: the profilers started so far when it began.
    std::optional<uint64_t> continuousStartsSeen_;
    std::shared_ptr<LocalMetricsAggregator> localMetricsAggregator_;

    uint64_t startSystemTime_ = 0;
    int threadId_ = 0;
    std::shared_ptr<const std::string> threadName_;
    std::weak_ptr<Tracer> tracer_;
};

}  // namespace skald
