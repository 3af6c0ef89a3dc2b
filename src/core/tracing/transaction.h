#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "skald/event.h"

namespace skald {

class Span;
class SpanImpl;
class Tracer;

/// A finished tracer and its spans, sent as an event of type "transaction".
class Transaction : public Event {
  public:
    Transaction(std::shared_ptr<Tracer> trace, const std::vector<std::shared_ptr<SpanImpl>>& spans);

    /// The event's JSON, then "spans", the "trace" and "profile" contexts, the
    /// tracer's tags and data merged into "tags" and "extra", "measurements",
    /// and "transaction" with its "transaction_info".
    Json serialize() override;

    std::shared_ptr<Tracer> trace;
    std::vector<std::shared_ptr<Span>> spans;
    std::optional<std::vector<std::string>> viewNames;
    /// Spans started beyond the tracer's limit: not recorded, counted as lost.
    size_t droppedSpans = 0;
};

}  // namespace skald
