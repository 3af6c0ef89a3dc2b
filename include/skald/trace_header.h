#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "skald/id.h"
#include "skald/sample_decision.h"
#include "skald/span_id.h"

namespace skald {

/// The "skald-trace" HTTP header that carries a trace to another service:
/// "<trace id>-<span id>" and, when the sampling was decided, "-1" or "-0".
class TraceHeader {
  public:
    static constexpr const char* kHeaderName = "skald-trace";

    TraceHeader(Id traceId, SpanId spanId, SampleDecision sampled)
        : traceId_(traceId), spanId_(std::move(spanId)), sampled_(sampled) {}

    const Id& traceId() const { return traceId_; }
    const SpanId& spanId() const { return spanId_; }
    SampleDecision sampled() const { return sampled_; }

    /// The header's text: 32 and 16 lowercase hex digits, then "-1" for a
    /// sampled trace, "-0" for one that is not, nothing when undecided.
    std::string value() const;

    /// The reverse of value(), strict about the shape: 32 hex digits, '-', 16
    /// hex digits, optionally '-' and "0" or "1"; either letter case, with
    /// surrounding ASCII whitespace ignored. Anything else is logged and
    /// gives nothing. Never throws.
    static std::optional<TraceHeader> parse(std::string_view text);

    bool operator==(const TraceHeader& other) const = default;

  private:
    Id traceId_;
    SpanId spanId_;
    SampleDecision sampled_;
};

}  // namespace skald
