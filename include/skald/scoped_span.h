#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "skald/span.h"

namespace skald {

/// Owns a span for the extent of a C++ scope and finishes it when the scope
/// ends: with the status set on the span, else "ok", or "internal_error"
/// when the scope is left by an exception.
///
///     skald::ScopedSpan transaction(skald::SDK::startTransaction("load", "task"));
///     {
///         auto parse = transaction.startChild("parse", "config.json");
///         ...
///     }  // parse finishes here
///
/// Holds nothing when given nothing; every call is then a no-op.
class ScopedSpan {
  public:
    ScopedSpan() = default;
    explicit ScopedSpan(std::shared_ptr<Span> span)
        : span_(std::move(span)), exceptions_(std::uncaught_exceptions()) {}
    ~ScopedSpan() { finishHeld(); }

    ScopedSpan(ScopedSpan&& other) noexcept
        : span_(std::exchange(other.span_, nullptr)), exceptions_(other.exceptions_) {}
    ScopedSpan& operator=(ScopedSpan&& other) noexcept {
        if (this != &other) {
            finishHeld();
            span_ = std::exchange(other.span_, nullptr);
            exceptions_ = other.exceptions_;
        }
        return *this;
    }
    ScopedSpan(const ScopedSpan&) = delete;
    ScopedSpan& operator=(const ScopedSpan&) = delete;

    /// A child for nested work, finished when its own guard goes.
    ScopedSpan startChild(const std::string& operation,
                          const std::optional<std::string>& description = {}) const {
        return ScopedSpan(span_ ? span_->startChild(operation, description) : nullptr);
    }

    /// Finishes now rather than at the end of the scope.
    void finish() { finishHeld(); }
    void finish(SpanStatus status) {
        if (span_) span_->finish(status);
    }
    void setStatus(SpanStatus status) {
        if (span_) span_->setStatus(status);
    }

    /// Gives the span up: it is no longer finished by this guard.
    std::shared_ptr<Span> release() { return std::exchange(span_, nullptr); }
    const std::shared_ptr<Span>& get() const { return span_; }
    Span* operator->() const { return span_.get(); }
    explicit operator bool() const { return span_ != nullptr; }

  private:
    void finishHeld() noexcept {
        if (!span_ || span_->isFinished()) return;
        SpanStatus status = span_->status();
        if (std::uncaught_exceptions() > exceptions_) {
            status = SpanStatus::InternalError;
        } else if (status == SpanStatus::Undefined) {
            status = SpanStatus::Ok;
        }
        span_->finish(status);
    }

    std::shared_ptr<Span> span_;
    int exceptions_ = 0;
};

}  // namespace skald
