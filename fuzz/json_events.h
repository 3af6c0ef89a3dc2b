// Records the elements reported by the crash-time JSON decoder, for the fuzzers.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crash/async_safe/json_decoder.h"

namespace skald::fuzz {

enum class Kind { Boolean, Float, Integer, Unsigned, Null, String, BeginObject, BeginArray, End };

struct Event {
    Kind kind;
    bool hasName = false;
    std::string name;
    /// The value as text; floating point as its shortest exact form.
    std::string value;

    bool operator==(const Event&) const = default;
};

inline void check(bool condition) {
    if (!condition) std::abort();
}

struct Recorder {
    std::vector<Event> events;
    bool ended = false;

    void add(Kind kind, const char* name, std::string value = {}) {
        check(!ended);
        events.push_back({kind, name != nullptr, name != nullptr ? name : "", std::move(value)});
    }

    static Recorder& of(void* userData) { return *static_cast<Recorder*>(userData); }

    static const crash::json::DecodeCallbacks callbacks;
};

inline const crash::json::DecodeCallbacks Recorder::callbacks = {
    [](const char* name, bool value, void* u) {
        of(u).add(Kind::Boolean, name, value ? "true" : "false");
        return 0;
    },
    [](const char* name, double value, void* u) {
        char text[64];
        const auto result = std::to_chars(text, text + sizeof(text), value);
        of(u).add(Kind::Float, name, std::string(text, result.ptr));
        return 0;
    },
    [](const char* name, int64_t value, void* u) {
        of(u).add(Kind::Integer, name, std::to_string(value));
        return 0;
    },
    [](const char* name, uint64_t value, void* u) {
        // Unsigned values are only reported above the signed range.
        check(value > static_cast<uint64_t>(INT64_MAX));
        of(u).add(Kind::Unsigned, name, std::to_string(value));
        return 0;
    },
    [](const char* name, void* u) {
        of(u).add(Kind::Null, name);
        return 0;
    },
    [](const char* name, const char* value, int length, void* u) {
        check(length >= 0 && value[length] == '\0');
        of(u).add(Kind::String, name, std::string(value, static_cast<size_t>(length)));
        return 0;
    },
    [](const char* name, void* u) {
        of(u).add(Kind::BeginObject, name);
        return 0;
    },
    [](const char* name, void* u) {
        of(u).add(Kind::BeginArray, name);
        return 0;
    },
    [](void* u) {
        of(u).add(Kind::End, nullptr);
        return 0;
    },
    [](void* u) {
        of(u).ended = true;
        return 0;
    },
};

/// Decodes `text` held in a buffer of exactly its size, so that reads past it are caught.
inline int decodeInto(const std::string& text, Recorder& recorder, int* errorOffset) {
    std::vector<char> buffer(4 * (text.size() + 16));
    const std::vector<char> exact(text.begin(), text.end());
    return crash::json::decode(exact.data(), static_cast<int>(exact.size()), buffer.data(),
                               static_cast<int>(buffer.size()), &Recorder::callbacks, &recorder,
                               errorOffset);
}

}  // namespace skald::fuzz
