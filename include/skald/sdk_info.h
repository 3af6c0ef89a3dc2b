#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {

/// How the host obtained the SDK; names the package in the SDK info.
enum class PackageManager : uint32_t {
    Spm = 0,
    Cocoapods = 1,
    Carthage = 2,
    Unknown = 3,
};

/// Name and version of the SDK that wrote an envelope.
class SdkInfo {
  public:
    /// Package manager Carthage.
    SdkInfo(std::string name, std::string version);
    SdkInfo(std::string name, std::string version, PackageManager packageManager);

    /// Reads "sdk" → "name" and "sdk" → "version" of a whole envelope header
    /// object; each is the empty string when it is not a string.
    static SdkInfo fromDict(const Json& headerObject);

    const std::string& name() const { return name_; }
    const std::string& version() const { return version_; }
    PackageManager packageManager() const { return packageManager_; }

    /// "<manager>:skald/<name>", or nothing for an unknown package manager.
    std::optional<std::string> packageName() const;

    /// {"sdk": {"name", "version", "packages": {"name", "version"}}}; no
    /// "packages" for an unknown package manager.
    Json serialize() const;

    bool operator==(const SdkInfo& other) const = default;

  private:
    std::string name_;
    std::string version_;
    PackageManager packageManager_ = PackageManager::Carthage;
};

}  // namespace skald
