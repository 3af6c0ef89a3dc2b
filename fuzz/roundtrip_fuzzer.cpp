// Decodes arbitrary bytes, re-emits every element through the crash-time
// encoder and decodes the output again: both element streams must match, with
// floating point as the encoder's six significant digits.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crash/async_safe/json_encoder.h"
#include "json_events.h"

using skald::fuzz::check;
using skald::fuzz::Event;
using skald::fuzz::Kind;
using skald::fuzz::Recorder;
namespace json = skald::crash::json;

namespace {

int appendTo(const char* data, int length, void* userData) {
    static_cast<std::string*>(userData)->append(data, static_cast<size_t>(length));
    return json::OK;
}

bool hasControlCharacter(const std::string& text) {
    for (const unsigned char c : text) {
        if (c < 0x20 && c != '\b' && c != '\t' && c != '\n' && c != '\f' && c != '\r') return true;
    }
    return false;
}

/// What a floating-point element becomes once written and read back.
Event rewritten(const Event& event) {
    double value = 0;
    std::from_chars(event.value.data(), event.value.data() + event.value.size(), value);
    Recorder recorder;
    if (!std::isfinite(value)) {
        recorder.add(Kind::Null, nullptr);
    } else {
        char text[64];
        const auto written =
            std::to_chars(text, text + sizeof(text), value, std::chars_format::general, 6);
        int offset = 0;
        check(skald::fuzz::decodeInto(std::string(text, written.ptr), recorder, &offset) ==
              json::OK);
    }
    Event result = recorder.events.at(0);
    result.hasName = event.hasName;
    result.name = event.name;
    return result;
}

int emit(json::EncodeContext* context, const Event& event) {
    const char* name = event.hasName ? event.name.c_str() : nullptr;
    switch (event.kind) {
        case Kind::Boolean:
            return json::addBooleanElement(context, name, event.value == "true");
        case Kind::Float: {
            double value = 0;
            std::from_chars(event.value.data(), event.value.data() + event.value.size(), value);
            return json::addFloatingPointElement(context, name, value);
        }
        case Kind::Integer:
            return json::addIntegerElement(context, name, std::stoll(event.value));
        case Kind::Unsigned:
            return json::addUIntegerElement(context, name, std::stoull(event.value));
        case Kind::Null:
            return json::addNullElement(context, name);
        case Kind::String:
            return json::addStringElement(context, name, event.value.data(),
                                          static_cast<int>(event.value.size()));
        case Kind::BeginObject:
            return json::beginObject(context, name);
        case Kind::BeginArray:
            return json::beginArray(context, name);
        case Kind::End:
            return json::endContainer(context);
    }
    return json::ErrorInvalidData;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Recorder first;
    int offset = 0;
    if (skald::fuzz::decodeInto(text, first, &offset) != json::OK) return 0;

    std::string encoded;
    json::EncodeContext context;
    json::beginEncode(&context, size % 2 == 1, appendTo, &encoded);
    int depth = 0;
    for (const Event& event : first.events) {
        const int result = emit(&context, event);
        if (event.kind == Kind::BeginObject || event.kind == Kind::BeginArray) ++depth;
        if (result == json::OK) {
            if (event.kind == Kind::End) --depth;
            continue;
        }
        // Only texts JSON can carry but the encoder refuses, and deep nesting, may fail.
        if (result == json::ErrorInvalidCharacter) {
            check(hasControlCharacter(event.value) || hasControlCharacter(event.name));
        } else {
            check(result == json::ErrorInvalidData && depth > json::kMaxContainerDepth);
        }
        return 0;
    }
    check(depth == 0 && context.containerLevel == 0);
    check(json::endEncode(&context) == json::OK);

    Recorder second;
    const int result = skald::fuzz::decodeInto(encoded, second, &offset);
    check(result == json::OK);
    check(second.events.size() == first.events.size());
    for (size_t i = 0; i < first.events.size(); ++i) {
        const Event& before = first.events[i];
        check(second.events[i] == (before.kind == Kind::Float ? rewritten(before) : before));
    }
    return 0;
}
