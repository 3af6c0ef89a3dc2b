#include "skald/sdk_info.h"

#include "util/dictionary.h"

namespace skald {

namespace {

constexpr const char* kOrganisationPath = "skald";

const char* shortName(PackageManager manager) {
    switch (manager) {
        case PackageManager::Spm:
            return "spm";
        case PackageManager::Cocoapods:
            return "cocoapods";
        case PackageManager::Carthage:
            return "carthage";
        default:
            return nullptr;
    }
}

std::string stringOrEmpty(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return {};
    return it->get<std::string>();
}

}  // namespace

SdkInfo::SdkInfo(std::string name, std::string version)
    : SdkInfo(std::move(name), std::move(version), PackageManager::Carthage) {}

SdkInfo::SdkInfo(std::string name, std::string version, PackageManager packageManager)
    : name_(std::move(name)), version_(std::move(version)), packageManager_(packageManager) {}

SdkInfo SdkInfo::fromDict(const Json& headerObject) {
    if (!headerObject.is_object()) return SdkInfo("", "");
    const auto sdk = headerObject.find("sdk");
    if (sdk == headerObject.end() || !sdk->is_object()) return SdkInfo("", "");
    return SdkInfo(stringOrEmpty(*sdk, "name"), stringOrEmpty(*sdk, "version"));
}

std::optional<std::string> SdkInfo::packageName() const {
    const char* manager = shortName(packageManager_);
    if (!manager) return std::nullopt;
    return std::string(manager) + ":" + kOrganisationPath + "/" + name_;
}

Json SdkInfo::serialize() const {
    Json sdk = objectWithCapacity(3);
    appendEntry(sdk, "name", name_);
    appendEntry(sdk, "version", version_);
    if (auto package = packageName()) {
        Json packages = objectWithCapacity(2);
        appendEntry(packages, "name", std::move(*package));
        appendEntry(packages, "version", version_);
        appendEntry(sdk, "packages", std::move(packages));
    }
    Json result = objectWithCapacity(1);
    appendEntry(result, "sdk", std::move(sdk));
    return result;
}

}  // namespace skald
