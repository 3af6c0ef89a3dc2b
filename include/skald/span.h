#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "skald/date.h"
#include "skald/id.h"
#include "skald/json.h"
#include "skald/measurement.h"
#include "skald/sample_decision.h"
#include "skald/span_id.h"
#include "skald/span_status.h"
#include "skald/trace_context.h"
#include "skald/trace_header.h"

namespace skald {

/// A timed unit of work, part of a trace. Spans are made by a transaction
/// (`SDK::startTransaction`) and by `startChild`; every operation is safe
/// from any thread and none throws. `ScopedSpan` finishes one when it leaves
/// scope.
class Span {
  public:
    virtual ~Span() = default;

    virtual Id traceId() const = 0;
    virtual SpanId spanId() const = 0;
    virtual std::optional<SpanId> parentSpanId() const = 0;
    virtual SampleDecision sampled() const = 0;
    virtual std::string operation() const = 0;
    virtual std::optional<std::string> spanDescription() const = 0;
    virtual std::string origin() const = 0;

    /// A new span under this one.
    virtual std::shared_ptr<Span> startChild(
        const std::string& operation, const std::optional<std::string>& description = {}) = 0;

    /// A null value removes the key.
    virtual void setData(const std::string& key, Json value) = 0;
    virtual void removeData(const std::string& key) = 0;
    virtual Json data() const = 0;
    virtual void setTag(const std::string& key, const std::string& value) = 0;
    virtual void removeTag(const std::string& key) = 0;
    virtual std::map<std::string, std::string> tags() const = 0;
    /// Kept on the transaction; a later value of the same name replaces it.
    virtual void setMeasurement(const std::string& name, double value,
                                std::optional<MeasurementUnit> unit = {}) = 0;

    virtual SpanStatus status() const = 0;
    virtual void setStatus(SpanStatus status) = 0;
    virtual std::optional<Date> startTimestamp() const = 0;
    virtual std::optional<Date> timestamp() const = 0;

    virtual bool isFinished() const = 0;
    /// Finishes with status ok.
    virtual void finish() = 0;
    virtual void finish(SpanStatus status) = 0;

    /// The "skald-trace" header for requests made inside this span.
    virtual TraceHeader toTraceHeader() const = 0;
    /// The "baggage" header value for requests made inside this span;
    /// nothing when the trace has no trace context.
    virtual std::optional<std::string> baggageHttpHeader() const = 0;
    virtual std::optional<TraceContext> traceContext() const = 0;

    /// The span's JSON form; the scope writes it as the event's "trace" context.
    virtual Json serialize() const = 0;

    /// Whether this span is the root of a transaction (a tracer).
    virtual bool isTracer() const { return false; }
    /// The transaction's name when this span is a tracer; nothing otherwise.
    virtual std::optional<std::string> transactionName() const { return std::nullopt; }
};

}  // namespace skald
