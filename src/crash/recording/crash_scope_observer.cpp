#include "crash/recording/crash_scope_observer.h"

#include <nlohmann/json.hpp>

#include "crash/async_safe/scope_snapshot.h"
#include "crash/recording/crash_attachment_table.h"
#include "crash/recording/crash_snapshot_setters.h"
#include "skald/user.h"
#include "util/json_bytes.h"
#include "util/log.h"

namespace skald::crash {

namespace {

/// Compact JSON with sorted keys, invalid UTF-8 replaced; nullopt (logged)
/// when the value cannot be written, e.g. a number that is not finite.
std::optional<std::string> encode(const Json& value) {
    // Copied through the sorted dictionary type; the copy keeps that order.
    auto text = jsonBytes(Json(nlohmann::json(value)));
    if (!text) SKALD_LOG_ERROR("Could not serialize %s", describeJson(value).c_str());
    return text;
}

/// Empty values clear the slot; values that cannot be encoded leave it as it was.
void store(scope::Field field, const Json& value) {
    if (value.is_null() || (value.is_structured() && value.empty())) {
        scope::setField(field, nullptr);
        return;
    }
    if (const auto json = encode(value)) scope::setField(field, json->c_str());
}

}  // namespace

CrashScopeObserver::CrashScopeObserver(int maxBreadcrumbs, uint64_t maxAttachmentSize)
    : maxAttachmentSize_(maxAttachmentSize) {
    scope::clear();
    clearCrashAttachments();
    scope::setBreadcrumbCapacity(maxBreadcrumbs);
}

void CrashScopeObserver::setUser(const std::shared_ptr<User>& user) {
    store(scope::Field::User, user ? user->serialize() : Json());
}

void CrashScopeObserver::setDist(const std::optional<std::string>& dist) {
    store(scope::Field::Dist, dist ? Json(*dist) : Json());
}

void CrashScopeObserver::setEnvironment(const std::optional<std::string>& environment) {
    store(scope::Field::Environment, environment ? Json(*environment) : Json());
}

void CrashScopeObserver::setContext(const Json& context) {
    store(scope::Field::Context, context);
}

void CrashScopeObserver::setExtras(const Json& extras) {
    store(scope::Field::Extra, extras);
}

void CrashScopeObserver::setTags(const std::map<std::string, std::string>& tags) {
    Json value = Json::object();
    for (const auto& [key, tag] : tags) value[key] = tag;
    store(scope::Field::Tags, value);
}

void CrashScopeObserver::setFingerprint(const std::vector<std::string>& fingerprint) {
    store(scope::Field::Fingerprint, Json(fingerprint));
}

void CrashScopeObserver::setLevel(Level level) {
    store(scope::Field::Level, level == Level::None ? Json() : Json(nameForLevel(level)));
}

void CrashScopeObserver::addSerializedBreadcrumb(const Json& crumb) {
    if (const auto json = encode(crumb)) scope::addBreadcrumb(json->c_str());
}

void CrashScopeObserver::clearBreadcrumbs() {
    scope::clearBreadcrumbs();
}

void CrashScopeObserver::clear() {
    scope::clear();
}

void CrashScopeObserver::setAttachments(const std::vector<Attachment>& attachments) {
    setCrashAttachments(attachments, maxAttachmentSize_);
}

}  // namespace skald::crash
