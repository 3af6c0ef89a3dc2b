#pragma once

#include <any>
#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "skald/json.h"
#include "skald/url_target.h"

namespace skald {

class OptionValue;

/// An ordered list of option values.
using OptionList = std::vector<OptionValue>;

/// A set of option values; a kind of its own so that keys that want a set can
/// tell it from a list. Members keep the order they were given in.
struct OptionSet {
    std::vector<OptionValue> members;
};

/// The dictionary form of options.
using OptionDict = std::map<std::string, OptionValue>;

/// One value of the dictionary form of options: null, a boolean, a number,
/// a text, a list, a set, a dictionary, a regular expression, or an object
/// (a callback or a shared object held in `std::any`).
class OptionValue {
  public:
    enum class Kind {
        Null,
        Bool,
        Integer,
        Double,
        Text,
        List,
        Set,
        Dict,
        RegularExpression,
        Object
    };

    OptionValue() = default;
    OptionValue(std::nullptr_t) {}
    OptionValue(bool value) : value_(value) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) OptionValue(T value) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(int64_t)) {
            if (value > static_cast<T>(INT64_MAX)) {
                value_ = static_cast<double>(value);
                return;
            }
        }
        value_ = static_cast<int64_t>(value);
    }
    OptionValue(double value) : value_(value) {}
    OptionValue(float value) : value_(static_cast<double>(value)) {}
    OptionValue(const char* text) : value_(std::string(text)) {}
    OptionValue(std::string text) : value_(std::move(text)) {}
    OptionValue(std::string_view text) : value_(std::string(text)) {}
    OptionValue(OptionList list) : value_(std::move(list)) {}
    OptionValue(OptionSet set) : value_(std::move(set)) {}
    OptionValue(OptionDict dict) : value_(std::move(dict)) {}
    OptionValue(skald::RegularExpression expression) : value_(std::move(expression)) {}

    /// A callback or object. Keys that take a callback look for a
    /// `std::function` of the property's exact type.
    static OptionValue object(std::any object);

    /// JSON null, booleans, numbers, texts, arrays (as lists) and objects (as
    /// dictionaries).
    static OptionValue fromJson(const Json& json);

    Kind kind() const { return static_cast<Kind>(value_.index()); }
    bool isNull() const { return kind() == Kind::Null; }
    /// Booleans count as numbers, as on the platform the options come from.
    bool isNumber() const;

    /// The platform's boolean reading: numbers are true when non-zero; a text
    /// is true when, after leading white space, it starts with "Y", "y", "T",
    /// "t", or a non-zero digit after an optional sign and zeros. Nothing for
    /// null and for kinds that have no boolean reading.
    std::optional<bool> boolReading() const;
    /// The value of a number as a double.
    std::optional<double> doubleValue() const;
    /// The value of a number cut to 32 unsigned bits (fraction dropped,
    /// wrapping like a C conversion).
    std::optional<uint32_t> uint32Value() const;

    const std::string* text() const { return std::get_if<std::string>(&value_); }
    const OptionList* list() const { return std::get_if<OptionList>(&value_); }
    const OptionSet* set() const { return std::get_if<OptionSet>(&value_); }
    const OptionDict* dict() const { return std::get_if<OptionDict>(&value_); }
    const skald::RegularExpression* regularExpression() const {
        return std::get_if<skald::RegularExpression>(&value_);
    }
    /// The object if it is held with exactly the type T, else null.
    template <class T>
    const T* objectAs() const {
        const auto* any = std::get_if<std::any>(&value_);
        return any ? std::any_cast<T>(any) : nullptr;
    }

    /// A short description for log lines and for kept unsupported entries.
    std::string description() const;

  private:
    std::variant<std::monostate, bool, int64_t, double, std::string, OptionList, OptionSet,
                 OptionDict, skald::RegularExpression, std::any>
        value_;
};

}  // namespace skald
