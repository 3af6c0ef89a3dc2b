#include "skald/option_value.h"

#include <cctype>
#include <cmath>
#include <limits>

#include "util/json_bytes.h"

namespace skald {

namespace {

// Texts may hold invalid UTF-8; describe them instead of failing.
std::string quoted(const Json& json) {
    return describeJson(json);
}

bool textBoolReading(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i == text.size()) return false;
    const char first = text[i];
    if (first == 'Y' || first == 'y' || first == 'T' || first == 't') return true;
    if (first == '+' || first == '-') ++i;
    while (i < text.size() && text[i] == '0') ++i;
    return i < text.size() && text[i] >= '1' && text[i] <= '9';
}

template <class Range>
std::string describeMembers(const Range& values, char open, char close) {
    std::string out(1, open);
    bool first = true;
    for (const auto& value : values) {
        if (!first) out += ", ";
        first = false;
        out += value.description();
    }
    out += close;
    return out;
}

}  // namespace

OptionValue OptionValue::object(std::any object) {
    OptionValue value;
    value.value_ = std::move(object);
    return value;
}

OptionValue OptionValue::fromJson(const Json& json) {
    switch (json.type()) {
        case Json::value_t::boolean:
            return OptionValue(json.get<bool>());
        case Json::value_t::number_integer:
            return OptionValue(json.get<int64_t>());
        case Json::value_t::number_unsigned:
            return OptionValue(json.get<uint64_t>());
        case Json::value_t::number_float:
            return OptionValue(json.get<double>());
        case Json::value_t::string:
            return OptionValue(json.get<std::string>());
        case Json::value_t::array: {
            OptionList list;
            list.reserve(json.size());
            for (const auto& item : json) list.push_back(fromJson(item));
            return OptionValue(std::move(list));
        }
        case Json::value_t::object: {
            OptionDict dict;
            for (const auto& [key, item] : json.items()) dict.emplace(key, fromJson(item));
            return OptionValue(std::move(dict));
        }
        default:
            return OptionValue();
    }
}

bool OptionValue::isNumber() const {
    const auto k = kind();
    return k == Kind::Bool || k == Kind::Integer || k == Kind::Double;
}

std::optional<bool> OptionValue::boolReading() const {
    switch (kind()) {
        case Kind::Bool:
            return std::get<bool>(value_);
        case Kind::Integer:
            return std::get<int64_t>(value_) != 0;
        case Kind::Double:
            return std::get<double>(value_) != 0.0;
        case Kind::Text:
            return textBoolReading(std::get<std::string>(value_));
        default:
            return std::nullopt;
    }
}

std::optional<double> OptionValue::doubleValue() const {
    switch (kind()) {
        case Kind::Bool:
            return std::get<bool>(value_) ? 1.0 : 0.0;
        case Kind::Integer:
            return static_cast<double>(std::get<int64_t>(value_));
        case Kind::Double:
            return std::get<double>(value_);
        default:
            return std::nullopt;
    }
}

std::optional<uint32_t> OptionValue::uint32Value() const {
    switch (kind()) {
        case Kind::Bool:
            return std::get<bool>(value_) ? 1u : 0u;
        case Kind::Integer:
            return static_cast<uint32_t>(std::get<int64_t>(value_));
        case Kind::Double: {
            // Converting an out-of-range double is undefined; clamp those instead.
            const double d = std::get<double>(value_);
            if (std::isnan(d)) return 0u;
            if (d <= static_cast<double>(std::numeric_limits<int64_t>::min())) return 0u;
            if (d >= static_cast<double>(std::numeric_limits<int64_t>::max())) return UINT32_MAX;
            return static_cast<uint32_t>(static_cast<int64_t>(d));
        }
        default:
            return std::nullopt;
    }
}

std::string OptionValue::description() const {
    switch (kind()) {
        case Kind::Null:
            return "null";
        case Kind::Bool:
            return std::get<bool>(value_) ? "true" : "false";
        case Kind::Integer:
            return std::to_string(std::get<int64_t>(value_));
        case Kind::Double:
            return quoted(Json(std::get<double>(value_)));
        case Kind::Text:
            return quoted(Json(std::get<std::string>(value_)));
        case Kind::List:
            return describeMembers(std::get<OptionList>(value_), '[', ']');
        case Kind::Set:
            return describeMembers(std::get<OptionSet>(value_).members, '{', '}');
        case Kind::Dict: {
            std::string out = "{";
            bool first = true;
            for (const auto& [key, value] : std::get<OptionDict>(value_)) {
                if (!first) out += ", ";
                first = false;
                out += quoted(Json(key)) + ": " + value.description();
            }
            return out + "}";
        }
        case Kind::RegularExpression: {
            const auto& expression = std::get<skald::RegularExpression>(value_);
            return "/" + expression.pattern() + "/" + (expression.caseInsensitive() ? "i" : "");
        }
        case Kind::Object:
            return "<object>";
    }
    return {};
}

}  // namespace skald
