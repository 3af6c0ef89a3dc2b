#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/tracing/no_op_span.h"
#include "skald/breadcrumb.h"
#include "skald/scope_observer.h"
#include "skald/span.h"

namespace skald::test {

/// A span with fixed ids that serialises to a recognisable dictionary.
/// A span of its own identity; everything else does nothing.
class TestSpan : public NoOpSpan {
  public:
    explicit TestSpan(std::optional<std::string> tracerName = std::nullopt)
        : tracerName_(std::move(tracerName)) {}

    Json serialize() const override {
        return Json{{"trace_id", traceId_.skaldIdString()},
                    {"span_id", spanId_.skaldSpanIdString()},
                    {"op", "test.op"}};
    }
    Id traceId() const override { return traceId_; }
    SpanId spanId() const override { return spanId_; }
    bool isTracer() const override { return tracerName_.has_value(); }
    std::optional<std::string> transactionName() const override { return tracerName_; }

  private:
    Id traceId_;
    SpanId spanId_;
    std::optional<std::string> tracerName_;
};

/// Writes every observer call as one line "<operation> <JSON of the value>".
class RecordingObserver : public ScopeObserver {
  public:
    void setUser(const std::shared_ptr<User>& user) override {
        record("setUser", user ? user->serialize() : Json());
    }
    void setDist(const std::optional<std::string>& dist) override {
        record("setDist", dist ? Json(*dist) : Json());
    }
    void setEnvironment(const std::optional<std::string>& environment) override {
        record("setEnvironment", environment ? Json(*environment) : Json());
    }
    void setContext(const Json& context) override { record("setContext", context); }
    void setExtras(const Json& extras) override { record("setExtras", extras); }
    void setTags(const std::map<std::string, std::string>& tags) override {
        record("setTags", Json(tags));
    }
    void setFingerprint(const std::vector<std::string>& fingerprint) override {
        record("setFingerprint", Json(fingerprint));
    }
    void setLevel(Level level) override { record("setLevel", nameForLevel(level)); }
    void addSerializedBreadcrumb(const Json& crumb) override {
        record("addSerializedBreadcrumb", crumb.value("message", ""));
    }
    void clearBreadcrumbs() override { record("clearBreadcrumbs", Json()); }
    void clear() override { record("clear", Json()); }
    void setCurrentScreen(const std::optional<std::string>& screen) override {
        record("setCurrentScreen", screen ? Json(*screen) : Json());
    }

    std::vector<std::string> calls() const {
        std::lock_guard guard(mutex_);
        return calls_;
    }

  private:
    void record(const std::string& operation, const Json& value) {
        std::lock_guard guard(mutex_);
        calls_.push_back(value.is_null() ? operation : operation + " " + value.dump());
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

inline std::shared_ptr<Breadcrumb> crumb(const std::string& message) {
    auto result = std::make_shared<Breadcrumb>();
    result->message = message;
    return result;
}

inline std::vector<std::string> messagesOf(const std::vector<std::shared_ptr<Breadcrumb>>& crumbs) {
    std::vector<std::string> messages;
    for (const auto& c : crumbs) messages.push_back(c->message.value_or(""));
    return messages;
}

}  // namespace skald::test
