// Feeds arbitrary bytes to the crash-time JSON decoder, whole and through a
// small refilled window and with a small buffer: the results must agree and
// every reported element must be well formed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "json_events.h"

using skald::fuzz::check;
using skald::fuzz::Kind;
using skald::fuzz::Recorder;
namespace json = skald::crash::json;

namespace {

struct Reader {
    const std::string* text;
    size_t position;
    int chunk;
};

int readChunk(char* buffer, int capacity, void* data) {
    auto* reader = static_cast<Reader*>(data);
    const size_t count =
        std::min({static_cast<size_t>(capacity), static_cast<size_t>(reader->chunk),
                  reader->text->size() - reader->position});
    reader->text->copy(buffer, count, reader->position);
    reader->position += count;
    return static_cast<int>(count);
}

/// Containers open and close in pairs, and names appear exactly inside objects.
void checkStructure(const std::vector<skald::fuzz::Event>& events, bool complete) {
    std::vector<bool> inObject;
    for (const auto& event : events) {
        if (inObject.empty()) {
            check(!event.hasName);
        } else if (event.kind != Kind::End) {
            check(event.hasName == inObject.back());
        }
        if (event.kind == Kind::BeginObject || event.kind == Kind::BeginArray) {
            inObject.push_back(event.kind == Kind::BeginObject);
        } else if (event.kind == Kind::End) {
            check(!inObject.empty());
            inObject.pop_back();
        }
    }
    if (complete) check(inObject.empty());
    check(inObject.size() <= static_cast<size_t>(json::kMaxDecodeDepth));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    Recorder whole;
    int wholeOffset = -1;
    const int result = skald::fuzz::decodeInto(text, whole, &wholeOffset);
    check(result >= json::OK && result <= json::ErrorInvalidData);
    check(result != json::ErrorDataTooLong);
    check(whole.ended == (result == json::OK));
    check(result == json::OK ? wholeOffset == 0
                             : wholeOffset >= 0 && static_cast<size_t>(wholeOffset) <= size);
    checkStructure(whole.events, result == json::OK);

    // The same input through a window refilled a few bytes at a time.
    Reader reader{&text, 0, size > 0 ? 1 + data[0] % 7 : 1};
    char window[7];
    std::vector<char> names(size + 16);
    std::vector<char> strings(3 * (size + 16));
    Recorder streamed;
    int streamedOffset = -1;
    const int streamedResult = json::decodeStream(window, sizeof(window), readChunk, &reader,
                                                  names.data(), static_cast<int>(names.size()),
                                                  strings.data(), static_cast<int>(strings.size()),
                                                  &Recorder::callbacks, &streamed, &streamedOffset);
    check(streamedResult == result);
    check(streamedOffset == wholeOffset);
    check(streamed.events == whole.events);

    // A small buffer may fail with "Data too long" but must not overrun.
    const size_t small = size > 1 ? data[1] % 24 : 0;
    std::vector<char> smallBuffer(small);
    const std::vector<char> exact(text.begin(), text.end());
    Recorder limited;
    const int limitedResult =
        json::decode(exact.data(), static_cast<int>(exact.size()), smallBuffer.data(),
                     static_cast<int>(small), &Recorder::callbacks, &limited, nullptr);
    if (limitedResult != json::ErrorDataTooLong) check(limitedResult == result);
    return 0;
}
