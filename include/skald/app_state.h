#pragma once

#include <memory>
#include <optional>
#include <string>

#include "skald/date.h"
#include "skald/json.h"

namespace skald {

/// The state of the application that the SDK keeps on disk between runs.
class AppState {
  public:
    /// The boot time is rounded to whole seconds, halves away from zero.
    AppState(std::optional<std::string> releaseName, std::string osVersion, std::string vendorId,
             bool isDebugging, Date systemBootTimestamp);

    /// Needs every key but "release_name" (a string when present) and
    /// "is_sdk_running" (true when missing or not a number); the flags must be
    /// numbers or booleans, the boot time a date text. Nothing otherwise.
    static std::shared_ptr<AppState> fromJson(const Json& json);

    Json serialize() const;

    std::optional<std::string> releaseName;
    std::string osVersion;
    std::string vendorId;
    bool isDebugging = false;
    Date systemBootTimestamp;
    bool isActive = false;
    bool wasTerminated = false;
    bool isANROngoing = false;
    bool isSDKRunning = true;
};

}  // namespace skald
