#pragma once

#include <string>

#include "skald/id.h"
#include "skald/json.h"
#include "skald/span_id.h"

namespace skald {

/// The trace a scope reports while no span is bound to it: a random trace id
/// and span id made once, when the context is created. Immutable.
class PropagationContext {
  public:
    PropagationContext() = default;
    PropagationContext(Id traceId, SpanId spanId) : traceId_(traceId), spanId_(std::move(spanId)) {}

    const Id& traceId() const { return traceId_; }
    const SpanId& spanId() const { return spanId_; }

    /// {"span_id": <span id>, "trace_id": <trace id>}, the "trace" context of
    /// events sent without a span.
    Json traceContextForEvent() const;

    /// "<trace id>-<span id>-0": no sampling decision was taken for this trace,
    /// so the header always says "not sampled".
    std::string traceHeader() const;

  private:
    Id traceId_;
    SpanId spanId_;
};

}  // namespace skald
