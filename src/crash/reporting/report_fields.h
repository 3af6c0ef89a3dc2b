#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/process/no_destructor.h"
#include "skald/json.h"

namespace skald::crash::report_fields {

/// Shared null for lookups that find nothing.
inline const Json& nullValue() {
    static const platform::NoDestructor<Json> value;
    return *value;
}

/// The member `key` of `object`; null when `object` is not an object or has
/// no such member, so that lookups chain over missing or malformed sections.
inline const Json& member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullValue();
    const auto found = object.find(key);
    return found == object.end() ? nullValue() : *found;
}

inline std::optional<std::string> stringAt(const Json& object, std::string_view key) {
    const Json& value = member(object, key);
    if (!value.is_string()) return std::nullopt;
    return value.get<std::string>();
}

/// Addresses are unsigned in reports; a negative integer (the stitching
/// marker written signed) keeps its two's-complement bits.
inline std::optional<uint64_t> unsignedValue(const Json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_number_integer()) return static_cast<uint64_t>(value.get<int64_t>());
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (number >= 0 && number < 18446744073709551616.0) return static_cast<uint64_t>(number);
    }
    return std::nullopt;
}

inline std::optional<uint64_t> unsignedAt(const Json& object, std::string_view key) {
    return unsignedValue(member(object, key));
}

inline bool isTrue(const Json& object, std::string_view key) {
    const Json& value = member(object, key);
    return value.is_boolean() && value.get<bool>();
}

}  // namespace skald::crash::report_fields
