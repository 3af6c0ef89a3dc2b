#include "util/dictionary.h"

namespace skald {

namespace {

Json::object_t::Container& entriesOf(Json& object) {
    return static_cast<Json::object_t::Container&>(object.get_ref<Json::object_t&>());
}

}  // namespace

void mergeEntries(const Json& source, Json& target) {
    if (!source.is_object()) return;
    if (target.is_null()) target = Json::object();
    if (!target.is_object()) return;
    for (const auto& [key, value] : source.items()) {
        auto existing = target.find(key);
        if (existing != target.end() && existing->is_object() && value.is_object()) {
            mergeEntries(value, *existing);
        } else {
            target[key] = value;
        }
    }
}

void setBoolValue(std::optional<bool> value, const std::string& key, Json& target) {
    if (!value) return;
    if (target.is_null()) target = Json::object();
    if (!target.is_object()) return;
    target[key] = *value;
}

bool jsonEquals(const Json& lhs, const Json& rhs) {
    if (lhs.is_object() && rhs.is_object()) {
        if (lhs.size() != rhs.size()) return false;
        for (const auto& [key, value] : lhs.items()) {
            auto other = rhs.find(key);
            if (other == rhs.end() || !jsonEquals(value, *other)) return false;
        }
        return true;
    }
    if (lhs.is_array() && rhs.is_array()) {
        if (lhs.size() != rhs.size()) return false;
        for (size_t i = 0; i < lhs.size(); ++i) {
            if (!jsonEquals(lhs[i], rhs[i])) return false;
        }
        return true;
    }
    return lhs == rhs;
}

bool jsonEquals(const std::optional<Json>& lhs, const std::optional<Json>& rhs) {
    if (!lhs || !rhs) return !lhs && !rhs;
    return jsonEquals(*lhs, *rhs);
}

void assignEntries(const Json& source, Json& target) {
    if (!source.is_object()) return;
    if (target.is_null()) target = Json::object();
    if (!target.is_object()) return;
    for (const auto& [key, value] : source.items()) target[key] = value;
}

void appendEntry(Json& object, std::string key, Json value) {
    if (object.is_null()) object = Json::object();
    if (!object.is_object()) return;
    entriesOf(object).emplace_back(std::move(key), std::move(value));
}

Json objectWithCapacity(size_t capacity) {
    Json object = Json::object();
    entriesOf(object).reserve(capacity);
    return object;
}

Json objectFromMap(const std::map<std::string, std::string>& map) {
    Json object = objectWithCapacity(map.size());
    auto& entries = entriesOf(object);
    for (const auto& [key, value] : map) entries.emplace_back(key, value);
    return object;
}

Json arrayFromStrings(const std::vector<std::string>& strings) {
    Json array = Json::array();
    auto& elements = array.get_ref<Json::array_t&>();
    elements.reserve(strings.size());
    for (const auto& string : strings) elements.emplace_back(string);
    return array;
}

}  // namespace skald
