#include "model/in_app_logic.h"

#include <algorithm>
#include <utility>

#include "platform/base/path.h"

namespace skald {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

InAppLogic::InAppLogic(std::vector<std::string> inAppIncludes,
                       std::vector<std::string> inAppExcludes)
    : inAppIncludes_(std::move(inAppIncludes)), inAppExcludes_(std::move(inAppExcludes)) {}

bool InAppLogic::isInApp(const std::optional<std::string>& imagePath) const {
    if (!imagePath) return false;
    return std::any_of(
        inAppIncludes_.begin(), inAppIncludes_.end(),
        [&](const std::string& include) { return isImageNameInApp(*imagePath, include); });
}

bool InAppLogic::isImageNameInApp(std::string_view imagePath, std::string_view inAppInclude) {
    const std::string_view name = platform::lastPathComponent(imagePath);
    if (name.size() < inAppInclude.size()) return false;
    return std::equal(inAppInclude.begin(), inAppInclude.end(), name.begin(),
                      [](char a, char b) { return lower(a) == lower(b); });
}

}  // namespace skald
