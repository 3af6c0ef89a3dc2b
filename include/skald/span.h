#pragma once

#include <optional>
#include <string>

#include "skald/id.h"
#include "skald/json.h"
#include "skald/span_id.h"

namespace skald {

/// A timed unit of work bound to a scope. This is the part of a span the scope
/// relies on; tracing provides the implementations (spans and the tracer that
/// roots a transaction). Implementations must be safe to call from any thread.
class Span {
  public:
    virtual ~Span() = default;

    /// The span's JSON form; the scope writes it as the event's "trace" context.
    virtual Json serialize() const = 0;
    virtual Id traceId() const = 0;
    virtual SpanId spanId() const = 0;

    /// Whether this span is the root of a transaction (a tracer).
    virtual bool isTracer() const { return false; }
    /// The transaction's name when this span is a tracer; nothing otherwise.
    virtual std::optional<std::string> transactionName() const { return std::nullopt; }
};

}  // namespace skald
