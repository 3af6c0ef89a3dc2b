#include "util/json_bytes.h"

#include <cmath>
#include <exception>
#include <vector>

namespace skald {

bool isWritableJson(const Json& value) {
    // Iterative: the values come from peers and files and may nest deeply.
    std::vector<const Json*> pending{&value};
    while (!pending.empty()) {
        const Json* current = pending.back();
        pending.pop_back();
        switch (current->type()) {
            case Json::value_t::number_float:
                if (!std::isfinite(current->get_ref<const Json::number_float_t&>())) return false;
                break;
            case Json::value_t::binary:
            case Json::value_t::discarded:
                return false;
            case Json::value_t::object:
            case Json::value_t::array:
                for (const auto& element : *current) pending.push_back(&element);
                break;
            default:
                break;
        }
    }
    return true;
}

std::optional<std::string> jsonBytes(const Json& value) {
    if (!isWritableJson(value)) return std::nullopt;
    try {
        return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {
        // Only allocation failures are left once the checks above passed.
        return std::nullopt;
    }
}

std::string describeJson(const Json& value) {
    try {
        return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const std::exception&) {
        return "<unwritable JSON>";
    }
}

std::optional<Json> parseJsonBytes(std::string_view bytes, std::string* errorText) {
    try {
        return Json::parse(bytes.begin(), bytes.end());
    } catch (const std::exception& error) {
        if (errorText) *errorText = error.what();
        return std::nullopt;
    }
}

}  // namespace skald

namespace skald {

std::optional<uint64_t> unsignedIntegerFromJson(const Json& value) {
    switch (value.type()) {
        case Json::value_t::number_unsigned:
            return value.get<uint64_t>();
        case Json::value_t::number_integer: {
            const int64_t number = value.get<int64_t>();
            if (number < 0) return std::nullopt;
            return static_cast<uint64_t>(number);
        }
        case Json::value_t::number_float: {
            const double number = value.get<double>();
            // 2^64 itself does not fit.
            if (!(number >= 0) || number >= 18446744073709551616.0 ||
                std::trunc(number) != number) {
                return std::nullopt;
            }
            return static_cast<uint64_t>(number);
        }
        default:
            return std::nullopt;
    }
}

}  // namespace skald
