#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "skald/breadcrumb.h"
#include "skald/date.h"
#include "skald/debug_meta.h"
#include "skald/error.h"
#include "skald/exception.h"
#include "skald/id.h"
#include "skald/json.h"
#include "skald/level.h"
#include "skald/message.h"
#include "skald/request.h"
#include "skald/stacktrace.h"
#include "skald/thread.h"
#include "skald/user.h"

namespace skald {

/// One error, message, crash or transaction report.
class Event {
  public:
    /// Level none.
    Event();
    /// A new random id, the level and the current date.
    explicit Event(Level level);
    /// Level error, keeping the error it was made from.
    explicit Event(Error error);
    virtual ~Event();

    Event(const Event&) = default;
    Event& operator=(const Event&) = default;
    Event(Event&&) = default;
    Event& operator=(Event&&) = default;

    /// The JSON form. Sets `timestamp` to the current date first when unset.
    virtual Json serialize();

    /// Exactly one exception, with a MetricKit mechanism type.
    bool isMetricKitEvent() const;
    /// Exactly one exception, of type "App Hanging".
    bool isAppHangEvent() const;

    Id eventId;
    std::optional<Date> timestamp;
    Level level = Level::None;
    /// Never written: the JSON "platform" is always "cocoa".
    std::string platform = "cocoa";
    std::optional<Json> sdk;
    std::optional<std::string> releaseName;
    std::optional<std::string> dist;
    std::optional<std::string> environment;
    std::optional<std::string> transaction;
    std::optional<std::vector<std::string>> fingerprint;
    std::shared_ptr<User> user;
    std::optional<std::map<std::string, std::string>> modules;
    std::shared_ptr<Stacktrace> stacktrace;
    std::vector<std::shared_ptr<Breadcrumb>> breadcrumbs;
    /// Breadcrumbs already in JSON form (restored from crash reports); written
    /// after `breadcrumbs`.
    std::vector<Json> serializedBreadcrumbs;
    /// Context name to context dictionary; written as "contexts".
    std::optional<Json> context;
    std::shared_ptr<Message> message;
    std::optional<std::string> logger;
    std::optional<std::string> serverName;
    std::optional<std::string> type;
    /// Written only for type "transaction"; `timestamp` stands in when unset.
    std::optional<Date> startTimestamp;
    std::shared_ptr<Request> request;
    std::vector<std::shared_ptr<Thread>> threads;
    std::vector<std::shared_ptr<Exception>> exceptions;
    std::vector<std::shared_ptr<DebugMeta>> debugMeta;
    std::optional<Json> extra;
    std::optional<std::map<std::string, std::string>> tags;

    /// Not written.
    std::optional<Error> error;
    bool isCrashEvent = false;
    uint64_t startSystemTime = 0;
    uint64_t endSystemTime = 0;
};

}  // namespace skald
