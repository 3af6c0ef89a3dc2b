#pragma once

#include <memory>

#include "skald/span.h"

namespace skald {

/// Stands in where no span can be made (a finished transaction, a span
/// without a tracer): everything on it does nothing.
class NoOpSpan : public Span {
  public:
    static std::shared_ptr<NoOpSpan> shared();

    Id traceId() const override { return Id::empty(); }
    SpanId spanId() const override { return SpanId::empty(); }
    std::optional<SpanId> parentSpanId() const override { return std::nullopt; }
    SampleDecision sampled() const override { return SampleDecision::Undecided; }
    std::string operation() const override { return ""; }
    std::optional<std::string> spanDescription() const override { return std::nullopt; }
    std::string origin() const override { return "manual"; }

    std::shared_ptr<Span> startChild(const std::string&,
                                     const std::optional<std::string>&) override {
        return shared();
    }
    void setData(const std::string&, Json) override {}
    void removeData(const std::string&) override {}
    Json data() const override { return Json::object(); }
    void setTag(const std::string&, const std::string&) override {}
    void removeTag(const std::string&) override {}
    std::map<std::string, std::string> tags() const override { return {}; }
    void setMeasurement(const std::string&, double, std::optional<MeasurementUnit>) override {}
    SpanStatus status() const override { return SpanStatus::Undefined; }
    void setStatus(SpanStatus) override {}
    std::optional<Date> startTimestamp() const override { return std::nullopt; }
    std::optional<Date> timestamp() const override { return std::nullopt; }
    bool isFinished() const override { return false; }
    void finish() override {}
    void finish(SpanStatus) override {}
    TraceHeader toTraceHeader() const override {
        return TraceHeader(traceId(), spanId(), SampleDecision::Undecided);
    }
    std::optional<std::string> baggageHttpHeader() const override { return std::nullopt; }
    std::optional<TraceContext> traceContext() const override { return std::nullopt; }
    Json serialize() const override { return Json::object(); }
};

}  // namespace skald
