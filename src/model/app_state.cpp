#include "skald/app_state.h"

#include <cmath>

#include "util/dictionary.h"
#include "util/iso8601.h"

namespace skald {

namespace {

Date roundedToSeconds(Date date) {
    return dateWithTimeIntervalSince1970(std::round(timeIntervalSince1970(date)));
}

// Flags arrive as JSON booleans or, from other writers, as numbers.
std::optional<bool> flagAt(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number()) return it->get<double>() != 0;
    return std::nullopt;
}

std::optional<std::string> stringAt(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

AppState::AppState(std::optional<std::string> releaseName, std::string osVersion,
                   std::string vendorId, bool isDebugging, Date systemBootTimestamp)
    : releaseName(std::move(releaseName)),
      osVersion(std::move(osVersion)),
      vendorId(std::move(vendorId)),
      isDebugging(isDebugging),
      systemBootTimestamp(roundedToSeconds(systemBootTimestamp)) {}

std::shared_ptr<AppState> AppState::fromJson(const Json& json) {
    if (!json.is_object()) return nullptr;
    auto osVersion = stringAt(json, "os_version");
    auto vendorId = stringAt(json, "vendor_id");
    const auto isDebugging = flagAt(json, "is_debugging");
    const auto bootText = stringAt(json, "system_boot_timestamp");
    const auto boot = bootText ? parseIso8601Timestamp(*bootText) : std::nullopt;
    const auto isActive = flagAt(json, "is_active");
    const auto wasTerminated = flagAt(json, "was_terminated");
    const auto isANROngoing = flagAt(json, "is_anr_ongoing");
    if (!osVersion || !vendorId || !isDebugging || !boot || !isActive || !wasTerminated ||
        !isANROngoing) {
        return nullptr;
    }
    auto state = std::make_shared<AppState>(stringAt(json, "release_name"), std::move(*osVersion),
                                            std::move(*vendorId), *isDebugging, *boot);
    state->isActive = *isActive;
    state->wasTerminated = *wasTerminated;
    state->isANROngoing = *isANROngoing;
    state->isSDKRunning = flagAt(json, "is_sdk_running").value_or(true);
    return state;
}

Json AppState::serialize() const {
    Json result = objectWithCapacity(9);
    appendIfSet(result, "release_name", releaseName);
    appendEntry(result, "os_version", osVersion);
    appendEntry(result, "vendor_id", vendorId);
    appendEntry(result, "is_debugging", isDebugging);
    appendEntry(result, "system_boot_timestamp", formatIso8601Timestamp(systemBootTimestamp));
    appendEntry(result, "is_active", isActive);
    appendEntry(result, "was_terminated", wasTerminated);
    appendEntry(result, "is_anr_ongoing", isANROngoing);
    appendEntry(result, "is_sdk_running", isSDKRunning);
    return result;
}

}  // namespace skald
