#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "skald/json.h"

namespace skald {

/// Deep merge: nested objects present on both sides are merged recursively;
/// any other source value replaces the target's value under its key.
void mergeEntries(const Json& source, Json& target);

/// Writes `key` as a JSON boolean when `value` is set; does nothing otherwise.
void setBoolValue(std::optional<bool> value, const std::string& key, Json& target);

/// Value equality with objects compared as unordered dictionaries (insertion
/// order is kept by Json but plays no part in whether two dictionaries are equal).
bool jsonEquals(const Json& lhs, const Json& rhs);

bool jsonEquals(const std::optional<Json>& lhs, const std::optional<Json>& rhs);

/// Shallow merge: every entry of `source` (an object) replaces the target's
/// entry of the same name or is added after the existing ones.
void assignEntries(const Json& source, Json& target);

/// Appends `key` to `object` (made an object if null) without looking for an
/// existing entry of that name. Only for keys known to be absent: the object
/// type searches linearly on every keyed insert, which serializers of large
/// records cannot afford.
void appendEntry(Json& object, std::string key, Json value);

/// An empty object with room for `capacity` entries: serializers know their
/// key count, and growing the entry storage step by step costs allocations.
Json objectWithCapacity(size_t capacity);

template <typename T>
void appendIfSet(Json& object, const char* key, const std::optional<T>& value) {
    if (value) appendEntry(object, key, Json(*value));
}

inline void appendBoolIfSet(Json& object, const char* key, std::optional<bool> value) {
    if (value) appendEntry(object, key, Json(*value));
}

/// A string map as a JSON object, in the map's order.
Json objectFromMap(const std::map<std::string, std::string>& map);

/// A list of strings as a JSON array.
Json arrayFromStrings(const std::vector<std::string>& strings);

}  // namespace skald
