#include "skald/span_context.h"

#include <unistd.h>

#include "util/log.h"

namespace skald {

SpanContext::SpanContext(std::string operation, SampleDecision sampled)
    : SpanContext(Id(), SpanId(), std::nullopt, std::move(operation), sampled) {}

SpanContext::SpanContext(std::string operation, std::string origin, SampleDecision sampled)
    : SpanContext(Id(), SpanId(), std::nullopt, std::move(operation), sampled, std::nullopt,
                  std::move(origin)) {}

SpanContext::SpanContext(Id traceId, SpanId spanId, std::optional<SpanId> parentSpanId,
                         std::string operation, SampleDecision sampled,
                         std::optional<std::string> spanDescription, std::string origin)
    : traceId_(traceId),
      spanId_(spanId),
      parentSpanId_(std::move(parentSpanId)),
      sampled_(sampled),
      operation_(std::move(operation)),
      spanDescription_(std::move(spanDescription)),
      origin_(std::move(origin)) {
    SKALD_LOG_DEBUG(
        "Created span context with trace ID %s; span ID %s; parent span ID %s; "
        "operation %s",
        traceId_.skaldIdString().c_str(), spanId_.value().c_str(),
        parentSpanId_ ? parentSpanId_->value().c_str() : "(null)", operation_.c_str());
}

Json SpanContext::serialize() const {
    Json json = Json::object();
    json["type"] = "trace";
    json["span_id"] = spanId_.value();
    json["trace_id"] = traceId_.skaldIdString();
    json["op"] = operation_;
    json["origin"] = origin_;
    if (sampled_ != SampleDecision::Undecided) json["sampled"] = sampled_ == SampleDecision::Yes;
    if (spanDescription_) json["description"] = *spanDescription_;
    if (parentSpanId_) json["parent_span_id"] = parentSpanId_->value();
    return json;
}

namespace {
int currentThreadId() {
    thread_local const int id = static_cast<int>(::gettid());
    return id;
}
}  // namespace

TransactionContext::TransactionContext(std::string name, std::string operation,
                                       SampleDecision sampled)
    : TransactionContext(std::move(name), TransactionNameSource::Custom, std::move(operation),
                         "manual", sampled) {}

TransactionContext::TransactionContext(std::string name, TransactionNameSource nameSource,
                                       std::string operation, std::string origin,
                                       SampleDecision sampled)
    : TransactionContext(std::move(name), nameSource, std::move(operation), std::move(origin), Id(),
                         SpanId(), std::nullopt, sampled, SampleDecision::Undecided) {}

TransactionContext::TransactionContext(std::string name, TransactionNameSource nameSource,
                                       std::string operation, std::string origin, Id traceId,
                                       SpanId spanId, std::optional<SpanId> parentSpanId,
                                       SampleDecision sampled, SampleDecision parentSampled)
    : SpanContext(traceId, spanId, std::move(parentSpanId), std::move(operation), sampled,
                  std::nullopt, std::move(origin)),
      name_(std::move(name)),
      nameSource_(nameSource),
      parentSampled_(parentSampled),
      threadId_(currentThreadId()) {
    SKALD_LOG_DEBUG("Created transaction context with name %s", name_.c_str());
}

}  // namespace skald
