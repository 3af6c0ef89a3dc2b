#include "skald/breadcrumb.h"

#include <cstdio>

#include "util/current_date_provider.h"
#include "util/dictionary.h"
#include "util/iso8601.h"
#include "util/json_bytes.h"
#include "util/sanitize.h"

namespace skald {

Breadcrumb::Breadcrumb() : Breadcrumb(Level::Info, "default") {}

Breadcrumb::Breadcrumb(Level level, std::string category)
    : level(level), timestamp(currentDate()), category(std::move(category)) {}

Breadcrumb Breadcrumb::fromDictionary(const Json& dictionary) {
    Breadcrumb crumb{EmptyTag{}};
    if (!dictionary.is_object()) return crumb;
    Json unknown = Json::object();
    for (const auto& [key, value] : dictionary.items()) {
        bool taken = false;
        if (value.is_string()) {
            const auto& text = value.get_ref<const std::string&>();
            taken = true;
            if (key == "level") {
                crumb.level = levelForName(text);
            } else if (key == "timestamp") {
                // A text that is no date stays in unknown so that it is written back as it came.
                crumb.timestamp = parseIso8601Timestamp(text);
                taken = crumb.timestamp.has_value();
            } else if (key == "category") {
                crumb.category = text;
            } else if (key == "type") {
                crumb.type = text;
            } else if (key == "message") {
                crumb.message = text;
            } else {
                taken = false;
            }
        } else if (key == "data" && value.is_object()) {
            crumb.data = value;
            taken = true;
        }
        if (!taken) appendEntry(unknown, key, value);
    }
    if (!unknown.empty()) crumb.unknown = std::move(unknown);
    return crumb;
}

Json Breadcrumb::serialize() const {
    Json result = objectWithCapacity(6 + (unknown ? unknown->size() : 0));
    appendEntry(result, "level", nameForLevel(level));
    if (timestamp) appendEntry(result, "timestamp", formatIso8601Timestamp(*timestamp));
    appendIfSet(result, "category", category);
    appendIfSet(result, "type", type);
    appendIfSet(result, "message", message);
    if (auto sanitized = sanitizeDictionary(data)) {
        appendEntry(result, "data", std::move(*sanitized));
    }
    if (unknown) assignEntries(*unknown, result);
    return result;
}

std::string Breadcrumb::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return "<Breadcrumb: " + std::string(address) + ", " + describeJson(serialize()) + ">";
}

bool Breadcrumb::operator==(const Breadcrumb& other) const {
    return level == other.level && category == other.category && timestamp == other.timestamp &&
           type == other.type && message == other.message && jsonEquals(data, other.data) &&
           jsonEquals(unknown, other.unknown);
}

}  // namespace skald
