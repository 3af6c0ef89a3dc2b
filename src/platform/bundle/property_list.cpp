#include "skald/platform/property_list.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>

namespace skald::platform {

namespace {

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr int64_t kSecondsFrom1970To2001 = 978307200;
// Information dictionaries are a few kilobytes; refuse anything absurd.
constexpr std::streamoff kMaxFileSize = 16 * 1024 * 1024;

struct PlistFree {
    void operator()(void* node) const { plist_free(node); }
};

std::string takeString(char* value) {
    std::string text = value ? value : "";
    std::free(value);
    return text;
}

std::string base64(const unsigned char* data, size_t length) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        const uint32_t chunk = (uint32_t{data[i]} << 16) |
                               (i + 1 < length ? uint32_t{data[i + 1]} << 8 : 0) |
                               (i + 2 < length ? uint32_t{data[i + 2]} : 0);
        out += kAlphabet[(chunk >> 18) & 0x3F];
        out += kAlphabet[(chunk >> 12) & 0x3F];
        out += i + 1 < length ? kAlphabet[(chunk >> 6) & 0x3F] : '=';
        out += i + 2 < length ? kAlphabet[chunk & 0x3F] : '=';
    }
    return out;
}

std::string isoDate(int64_t secondsSince1970) {
    const auto seconds = static_cast<time_t>(secondsSince1970);
    struct tm utc {};
    if (gmtime_r(&seconds, &utc) == nullptr) return {};
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

Json toJson(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return value != 0;
        }
        case PLIST_UINT: {
            // Negative integers are stored in two's complement.
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            if (value > static_cast<uint64_t>(INT64_MAX)) return static_cast<int64_t>(value);
            return value;
        }
        case PLIST_UID: {
            uint64_t value = 0;
            plist_get_uid_val(node, &value);
            return value;
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return value;
        }
        case PLIST_STRING: {
            char* value = nullptr;
            plist_get_string_val(node, &value);
            return takeString(value);
        }
        case PLIST_KEY: {
            char* value = nullptr;
            plist_get_key_val(node, &value);
            return takeString(value);
        }
        case PLIST_DATE: {
            int32_t seconds = 0;
            int32_t micros = 0;
            plist_get_date_val(node, &seconds, &micros);
            return isoDate(kSecondsFrom1970To2001 + seconds);
        }
        case PLIST_DATA: {
            char* value = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &value, &length);
            std::string text = base64(reinterpret_cast<const unsigned char*>(value), length);
            std::free(value);
            return text;
        }
        case PLIST_ARRAY: {
            Json array = Json::array();
            const uint32_t size = plist_array_get_size(node);
            for (uint32_t i = 0; i < size; ++i) {
                array.push_back(toJson(plist_array_get_item(node, i)));
            }
            return array;
        }
        case PLIST_DICT: {
            Json object = Json::object();
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            while (iter != nullptr) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iter, &key, &value);
                if (key == nullptr || value == nullptr) {
                    std::free(key);
                    break;
                }
                object[takeString(key)] = toJson(value);
            }
            std::free(iter);
            return object;
        }
        default:
            return nullptr;
    }
}

}  // namespace

std::optional<Json> parsePropertyList(std::string_view data) {
    if (data.empty() || data.size() > UINT32_MAX) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    if (root == nullptr) return std::nullopt;
    std::unique_ptr<void, PlistFree> owner(root);
    return toJson(root);
}

std::optional<Json> readPropertyListFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return std::nullopt;
    const std::streamoff size = file.tellg();
    if (size <= 0 || size > kMaxFileSize) return std::nullopt;
    file.seekg(0);
    std::string data(static_cast<size_t>(size), '\0');
    if (!file.read(data.data(), size)) return std::nullopt;
    return parsePropertyList(data);
}

}  // namespace skald::platform
