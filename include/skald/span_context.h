#pragma once

#include <optional>
#include <string>

#include "skald/id.h"
#include "skald/json.h"
#include "skald/sample_decision.h"
#include "skald/span_id.h"
#include "skald/span_status.h"

namespace skald {

/// The identity of a span. Immutable but for `origin`.
class SpanContext {
  public:
    /// A new trace id and span id, no parent.
    explicit SpanContext(std::string operation, SampleDecision sampled = SampleDecision::Undecided);
    SpanContext(std::string operation, std::string origin, SampleDecision sampled);
    SpanContext(Id traceId, SpanId spanId, std::optional<SpanId> parentSpanId,
                std::string operation, SampleDecision sampled,
                std::optional<std::string> spanDescription = {}, std::string origin = "manual");
    virtual ~SpanContext() = default;
    SpanContext(const SpanContext&) = default;
    SpanContext& operator=(const SpanContext&) = default;

    const Id& traceId() const { return traceId_; }
    const SpanId& spanId() const { return spanId_; }
    const std::optional<SpanId>& parentSpanId() const { return parentSpanId_; }
    SampleDecision sampled() const { return sampled_; }
    const std::string& operation() const { return operation_; }
    const std::optional<std::string>& spanDescription() const { return spanDescription_; }
    const std::string& origin() const { return origin_; }
    void setOrigin(std::string origin) { origin_ = std::move(origin); }

    /// "type", "span_id", "trace_id", "op", "origin", and "sampled",
    /// "description", "parent_span_id" when set.
    Json serialize() const;

  private:
    Id traceId_;
    SpanId spanId_;
    std::optional<SpanId> parentSpanId_;
    SampleDecision sampled_;
    std::string operation_;
    std::optional<std::string> spanDescription_;
    std::string origin_;
};

/// The identity of a transaction: a span context with a name.
class TransactionContext : public SpanContext {
  public:
    TransactionContext(std::string name, std::string operation,
                       SampleDecision sampled = SampleDecision::Undecided);
    TransactionContext(std::string name, TransactionNameSource nameSource, std::string operation,
                       std::string origin, SampleDecision sampled = SampleDecision::Undecided);
    /// For a trace continued from upstream (its "skald-trace" header).
    TransactionContext(std::string name, TransactionNameSource nameSource, std::string operation,
                       std::string origin, Id traceId, SpanId spanId,
                       std::optional<SpanId> parentSpanId, SampleDecision sampled,
                       SampleDecision parentSampled);

    const std::string& name() const { return name_; }
    TransactionNameSource nameSource() const { return nameSource_; }
    SampleDecision parentSampled() const { return parentSampled_; }
    /// The rate that decided sampling, set by the hub.
    const std::optional<double>& sampleRate() const { return sampleRate_; }
    void setSampleRate(std::optional<double> rate) { sampleRate_ = rate; }
    bool forNextAppLaunch = false;
    /// The kernel id of the thread that made it.
    int threadId() const { return threadId_; }

  private:
    std::string name_;
    TransactionNameSource nameSource_ = TransactionNameSource::Custom;
    SampleDecision parentSampled_ = SampleDecision::Undecided;
    std::optional<double> sampleRate_;
    int threadId_ = 0;
};

/// What a sampler callback is asked about: the transaction being started and
/// what its caller passed along.
class SamplingContext {
  public:
    SamplingContext(const TransactionContext& transactionContext,
                    std::optional<Json> customSamplingContext = {})
        : transactionContext_(transactionContext),
          customSamplingContext_(std::move(customSamplingContext)) {}

    const TransactionContext& transactionContext() const { return transactionContext_; }
    const std::optional<Json>& customSamplingContext() const { return customSamplingContext_; }

  private:
    const TransactionContext& transactionContext_;
    std::optional<Json> customSamplingContext_;
};

/// A sampling decision and the rate that produced it.
struct SamplerDecision {
    SampleDecision decision = SampleDecision::Undecided;
    std::optional<double> sampleRate;
};

/// Options of one tracer.
struct TracerConfiguration {
    /// The tracer finishes only when every child has.
    bool waitForChildren = false;
    /// Seconds without a new child after which the tracer finishes; 0 is none.
    double idleTimeout = 0;
    /// Set by the hub.
    SamplerDecision profilesSamplerDecision;
};

}  // namespace skald
