#include "skald/event.h"

#include <array>
#include <string_view>

#include "util/current_date_provider.h"
#include "util/dictionary.h"
#include "util/sanitize.h"

namespace skald {

namespace {

template <typename Record>
Json serializeAll(const std::vector<std::shared_ptr<Record>>& records) {
    Json array = Json::array();
    auto& elements = array.get_ref<Json::array_t&>();
    elements.reserve(records.size());
    for (const auto& record : records) {
        if (record) elements.push_back(record->serialize());
    }
    return array;
}

/// `{"<innerKey>": [...]}` when at least one record is there.
template <typename Record>
void appendWrappedList(Json& result, const char* name, const char* innerKey,
                       const std::vector<std::shared_ptr<Record>>& records) {
    Json serialized = serializeAll(records);
    if (serialized.empty()) return;
    Json wrapper = objectWithCapacity(1);
    appendEntry(wrapper, innerKey, std::move(serialized));
    appendEntry(result, name, std::move(wrapper));
}

void appendSanitized(Json& result, const char* key, const std::optional<Json>& dictionary) {
    if (auto sanitized = sanitizeDictionary(dictionary)) {
        appendEntry(result, key, std::move(*sanitized));
    }
}

constexpr std::array<std::string_view, 4> kMetricKitMechanisms = {
    "mx_disk_write_exception", "mx_cpu_exception", "mx_hang_diagnostic", "MXCrashDiagnostic"};

}  // namespace

Event::Event() : Event(Level::None) {}

Event::Event(Level level) : timestamp(currentDate()), level(level) {}

Event::Event(Error error) : Event(Level::Error) {
    this->error = std::move(error);
}

Event::~Event() = default;

bool Event::isMetricKitEvent() const {
    if (exceptions.size() != 1 || !exceptions[0] || !exceptions[0]->mechanism) return false;
    const std::string& mechanismType = exceptions[0]->mechanism->type;
    for (auto name : kMetricKitMechanisms) {
        if (mechanismType == name) return true;
    }
    return false;
}

bool Event::isAppHangEvent() const {
    return exceptions.size() == 1 && exceptions[0] && exceptions[0]->type == "App Hanging";
}

Json Event::serialize() {
    if (!timestamp) timestamp = currentDate();

    Json result = objectWithCapacity(26);
    appendEntry(result, "event_id", eventId.skaldIdString());
    appendEntry(result, "timestamp", timeIntervalSince1970(*timestamp));
    appendEntry(result, "platform", "cocoa");
    if (level != Level::None) appendEntry(result, "level", nameForLevel(level));

    appendSanitized(result, "sdk", sdk);
    appendIfSet(result, "release", releaseName);
    appendIfSet(result, "dist", dist);
    appendIfSet(result, "environment", environment);
    appendIfSet(result, "transaction", transaction);
    if (fingerprint) appendEntry(result, "fingerprint", arrayFromStrings(*fingerprint));
    if (user) appendEntry(result, "user", user->serialize());
    if (modules) appendEntry(result, "modules", objectFromMap(*modules));
    if (stacktrace) appendEntry(result, "stacktrace", stacktrace->serialize());

    Json crumbs = serializeAll(breadcrumbs);
    auto& crumbElements = crumbs.get_ref<Json::array_t&>();
    crumbElements.insert(crumbElements.end(), serializedBreadcrumbs.begin(),
                         serializedBreadcrumbs.end());
    if (!crumbElements.empty()) appendEntry(result, "breadcrumbs", std::move(crumbs));

    appendSanitized(result, "contexts", context);
    if (message) appendEntry(result, "message", message->serialize());
    appendIfSet(result, "logger", logger);
    appendIfSet(result, "server_name", serverName);
    appendIfSet(result, "type", type);
    if (type == "transaction") {
        appendEntry(result, "start_timestamp",
                    timeIntervalSince1970(startTimestamp.value_or(*timestamp)));
    }
    if (request) appendEntry(result, "request", request->serialize());

    appendWrappedList(result, "threads", "values", threads);
    appendWrappedList(result, "exception", "values", exceptions);
    appendWrappedList(result, "debug_meta", "images", debugMeta);

    appendSanitized(result, "extra", extra);
    if (tags) appendEntry(result, "tags", objectFromMap(*tags));
    return result;
}

}  // namespace skald
