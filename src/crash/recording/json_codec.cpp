#include "crash/recording/json_codec.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "crash/async_safe/json_decoder.h"
#include "crash/async_safe/json_encoder.h"
#include "util/json_bytes.h"

namespace skald::crash {

namespace {

Error codecError(int code, std::string description) {
    return Error(kJSONCodecErrorDomain, code, std::move(description));
}

int appendToString(const char* data, int length, void* userData) {
    static_cast<std::string*>(userData)->append(data, static_cast<size_t>(length));
    return json::OK;
}

class ValueEncoder {
  public:
    ValueEncoder(json::EncodeContext* context, bool sorted) : context_(context), sorted_(sorted) {}

    int encode(const char* name, const Json& value) {
        switch (value.type()) {
            case Json::value_t::null:
                return json::addNullElement(context_, name);
            case Json::value_t::boolean:
                return json::addBooleanElement(context_, name, value.get<bool>());
            case Json::value_t::number_integer:
                return json::addIntegerElement(context_, name, value.get<int64_t>());
            case Json::value_t::number_unsigned: {
                const auto number = value.get<uint64_t>();
                return number <= static_cast<uint64_t>(INT64_MAX)
                           ? json::addIntegerElement(context_, name, static_cast<int64_t>(number))
                           : json::addUIntegerElement(context_, name, number);
            }
            case Json::value_t::number_float:
                return json::addFloatingPointElement(context_, name, value.get<double>());
            case Json::value_t::string: {
                const auto& text = value.get_ref<const std::string&>();
                if (text.size() > INT_MAX) return fail(json::ErrorDataTooLong, "Data too long");
                const int result = json::addStringElement(context_, name, text.data(),
                                                          static_cast<int>(text.size()));
                if (result == json::ErrorInvalidCharacter) {
                    return fail(result, "Invalid character in " + text);
                }
                return result;
            }
            case Json::value_t::binary: {
                const auto& bytes = value.get_binary();
                if (bytes.size() > INT_MAX) return fail(json::ErrorDataTooLong, "Data too long");
                return json::addDataElement(context_, name,
                                            reinterpret_cast<const char*>(bytes.data()),
                                            static_cast<int>(bytes.size()));
            }
            case Json::value_t::array: {
                int result = json::beginArray(context_, name);
                for (auto it = value.begin(); result == json::OK && it != value.end(); ++it) {
                    result = encode(nullptr, *it);
                }
                return result == json::OK ? json::endContainer(context_) : result;
            }
            case Json::value_t::object: {
                int result = json::beginObject(context_, name);
                if (sorted_) {
                    std::vector<const std::string*> keys;
                    keys.reserve(value.size());
                    for (const auto& [key, member] : value.items()) keys.push_back(&key);
                    std::sort(keys.begin(), keys.end(),
                              [](const std::string* a, const std::string* b) { return *a < *b; });
                    for (auto it = keys.begin(); result == json::OK && it != keys.end(); ++it) {
                        result = encode((*it)->c_str(), value.at(**it));
                    }
                } else {
                    for (auto it = value.begin(); result == json::OK && it != value.end(); ++it) {
                        result = encode(it.key().c_str(), it.value());
                    }
                }
                return result == json::OK ? json::endContainer(context_) : result;
            }
            case Json::value_t::discarded:
            default:
                return fail(json::ErrorInvalidData,
                            "Could not determine type of " + describeJson(value));
        }
    }

    /// The message of the first failure that has one.
    std::optional<Error> error;

  private:
    int fail(int code, std::string description) {
        if (!error) error = codecError(code, std::move(description));
        return code;
    }

    json::EncodeContext* context_;
    bool sorted_;
};

/// Builds a value from decoder callbacks.
class ValueBuilder {
  public:
    explicit ValueBuilder(int options) : options_(options) {}

    static const json::DecodeCallbacks callbacks;

    /// The value decoded so far, with every open container closed.
    std::optional<Json> finish() {
        while (!stack_.empty()) closeContainer();
        return std::move(result_);
    }

  private:
    struct OpenContainer {
        Json value;
        std::string name;
    };

    static ValueBuilder& self(void* userData) { return *static_cast<ValueBuilder*>(userData); }

    void add(const char* name, Json value) {
        if (stack_.empty()) {
            result_ = std::move(value);
            return;
        }
        Json& container = stack_.back().value;
        if (container.is_object()) {
            container[name != nullptr ? name : ""] = std::move(value);
        } else {
            container.push_back(std::move(value));
        }
    }

    void openContainer(const char* name, Json value) {
        stack_.push_back({std::move(value), name != nullptr ? name : ""});
    }

    void closeContainer() {
        OpenContainer closed = std::move(stack_.back());
        stack_.pop_back();
        add(closed.name.c_str(), std::move(closed.value));
    }

    bool dropsNull() const {
        if (stack_.empty()) return false;
        const int option = stack_.back().value.is_object()
                               ? JSONCodec::DecodeOptionIgnoreNullInObject
                               : JSONCodec::DecodeOptionIgnoreNullInArray;
        return (options_ & option) != 0;
    }

    static int onBoolean(const char* name, bool value, void* userData) {
        self(userData).add(name, value);
        return json::OK;
    }
    static int onFloatingPoint(const char* name, double value, void* userData) {
        self(userData).add(name, value);
        return json::OK;
    }
    static int onInteger(const char* name, int64_t value, void* userData) {
        self(userData).add(name, value);
        return json::OK;
    }
    static int onUnsignedInteger(const char* name, uint64_t value, void* userData) {
        self(userData).add(name, value);
        return json::OK;
    }
    static int onNull(const char* name, void* userData) {
        ValueBuilder& builder = self(userData);
        if (!builder.dropsNull()) builder.add(name, nullptr);
        return json::OK;
    }
    static int onString(const char* name, const char* value, int length, void* userData) {
        self(userData).add(name, std::string(value, static_cast<size_t>(length)));
        return json::OK;
    }
    static int onBeginObject(const char* name, void* userData) {
        self(userData).openContainer(name, Json::object());
        return json::OK;
    }
    static int onBeginArray(const char* name, void* userData) {
        self(userData).openContainer(name, Json::array());
        return json::OK;
    }
    static int onEndContainer(void* userData) {
        self(userData).closeContainer();
        return json::OK;
    }

    int options_;
    std::vector<OpenContainer> stack_;
    std::optional<Json> result_;
};

const json::DecodeCallbacks ValueBuilder::callbacks = {
    onBoolean, onFloatingPoint, onInteger,    onUnsignedInteger, onNull,
    onString,  onBeginObject,   onBeginArray, onEndContainer,    nullptr,
};

}  // namespace

std::optional<std::string> JSONCodec::encode(const Json& object, int options, Error* error) {
    std::string text;
    json::EncodeContext context;
    json::beginEncode(&context, (options & EncodeOptionPretty) != 0, appendToString, &text);
    ValueEncoder encoder(&context, (options & EncodeOptionSorted) != 0);
    int result = encoder.encode(nullptr, object);
    if (result == json::OK) result = json::endEncode(&context);
    if (result == json::OK) return text;
    if (error != nullptr) {
        *error = encoder.error ? *encoder.error : codecError(result, json::stringForError(result));
    }
    return std::nullopt;
}

std::optional<Json> JSONCodec::decode(std::string_view data, int options, Error* error) {
    if (data.size() >= INT_MAX) {
        if (error != nullptr) *error = codecError(json::ErrorDataTooLong, "Data too long");
        return std::nullopt;
    }
    // No name or string can be longer than the text itself.
    const int bufferLength = static_cast<int>(data.size()) + 1;
    std::vector<char> names(static_cast<size_t>(bufferLength));
    std::vector<char> strings(static_cast<size_t>(bufferLength));
    ValueBuilder builder(options);
    int errorOffset = 0;
    const int result = json::decode(data.data(), static_cast<int>(data.size()), names.data(),
                                    bufferLength, strings.data(), bufferLength,
                                    &ValueBuilder::callbacks, &builder, &errorOffset);
    if (result == json::OK) return builder.finish();
    if (error != nullptr) {
        *error = codecError(result, std::string(json::stringForError(result)) + " (offset " +
                                        std::to_string(errorOffset) + ")");
    }
    if ((options & DecodeOptionKeepPartialObject) != 0) return builder.finish();
    return std::nullopt;
}

}  // namespace skald::crash
