#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "skald/error.h"
#include "skald/json.h"

namespace skald::crash {

inline constexpr const char* kJSONCodecErrorDomain = "SkaldCrashJSONCodecObjC";

/// Turns JSON values into text with the crash-time encoder and text back into
/// values with the crash-time decoder, so that both sides of a crash report
/// agree on the format. Error codes are those of the crash-time codec.
class JSONCodec {
  public:
    enum EncodeOption : int {
        EncodeOptionPretty = 1,
        EncodeOptionSorted = 2,
    };
    enum DecodeOption : int {
        DecodeOptionIgnoreNullInArray = 1,
        DecodeOptionIgnoreNullInObject = 2,
        DecodeOptionKeepPartialObject = 4,
    };

    JSONCodec(int encodeOptions, int decodeOptions)
        : encodeOptions_(encodeOptions), decodeOptions_(decodeOptions) {}

    /// The JSON text of `object`, or nullopt with `*error` set: "Invalid character
    /// in <text>" for a string the encoder rejects, "Could not determine type of
    /// <value>" for a value that has no JSON form. Binary values become
    /// hexadecimal strings.
    static std::optional<std::string> encode(const Json& object, int options, Error* error);

    /// The value of `data`. On failure `*error` reads "<reason> (offset <n>)" and
    /// the result is nullopt, or with DecodeOptionKeepPartialObject whatever was
    /// decoded up to the failure, its open containers closed.
    static std::optional<Json> decode(std::string_view data, int options, Error* error);

    std::optional<std::string> encode(const Json& object, Error* error) const {
        return encode(object, encodeOptions_, error);
    }
    std::optional<Json> decode(std::string_view data, Error* error) const {
        return decode(data, decodeOptions_, error);
    }

  private:
    int encodeOptions_;
    int decodeOptions_;
};

}  // namespace skald::crash
