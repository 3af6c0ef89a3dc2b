#include "util/sanitize.h"

#include "platform/base/hex.h"
#include "util/dictionary.h"

#include <algorithm>
#include <string_view>

namespace skald {

namespace {

constexpr std::string_view kReservedPrefix = "__skald";
constexpr const char* kNullDescription = "<null>";

bool isReservedKey(std::string_view key) {
    return key.starts_with(kReservedPrefix);
}

std::string describeBinary(const Json::binary_t& binary) {
    constexpr size_t kShownBytes = 32;
    std::string text = "{length = " + std::to_string(binary.size()) + ", bytes = 0x";
    const size_t shown = std::min(binary.size(), kShownBytes);
    text += platform::hexEncode(binary.data(), shown);
    if (shown < binary.size()) text += " ... ";
    text += '}';
    return text;
}

Json sanitizeObject(const Json& object);

Json sanitizeValue(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object:
            return sanitizeObject(value);
        case Json::value_t::array:
            return sanitizeArray(value);
        case Json::value_t::binary:
            return describeBinary(value.get_binary());
        case Json::value_t::null:
        case Json::value_t::discarded:
            return kNullDescription;
        default:
            return value;
    }
}

Json sanitizeObject(const Json& object) {
    // Keys of the input are unique already, so they are appended unsearched.
    Json result = objectWithCapacity(object.size());
    for (const auto& [key, value] : object.get_ref<const Json::object_t&>()) {
        if (!isReservedKey(key)) appendEntry(result, key, sanitizeValue(value));
    }
    return result;
}

void sanitizeInPlace(Json& value);

void sanitizeObjectInPlace(Json& object) {
    for (auto it = object.begin(); it != object.end();) {
        if (isReservedKey(it.key())) {
            it = object.erase(it);
        } else {
            sanitizeInPlace(*it);
            ++it;
        }
    }
}

void sanitizeInPlace(Json& value) {
    switch (value.type()) {
        case Json::value_t::object:
            sanitizeObjectInPlace(value);
            break;
        case Json::value_t::array:
            for (auto& element : value) sanitizeInPlace(element);
            break;
        case Json::value_t::binary:
            value = describeBinary(value.get_binary());
            break;
        case Json::value_t::null:
        case Json::value_t::discarded:
            value = kNullDescription;
            break;
        default:
            break;
    }
}

}  // namespace

std::optional<Json> sanitizeDictionary(const Json& dictionary) {
    if (!dictionary.is_object()) return std::nullopt;
    return sanitizeObject(dictionary);
}

std::optional<Json> sanitizeDictionary(const std::optional<Json>& dictionary) {
    if (!dictionary) return std::nullopt;
    return sanitizeDictionary(*dictionary);
}

std::optional<Json> sanitizeDictionary(std::optional<Json>&& dictionary) {
    if (!dictionary || !dictionary->is_object()) return std::nullopt;
    sanitizeObjectInPlace(*dictionary);
    return std::move(dictionary);
}

Json sanitizeArray(const Json& array) {
    Json result = Json::array();
    if (!array.is_array()) return result;
    auto& elements = result.get_ref<Json::array_t&>();
    elements.reserve(array.size());
    for (const auto& element : array) elements.push_back(sanitizeValue(element));
    return result;
}

}  // namespace skald
