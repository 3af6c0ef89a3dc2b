#include "crash/async_safe/json_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace skald::crash::json {
namespace {

/// Records every element as one line of text.
struct Recorder {
    std::vector<std::string> events;

    static Recorder& of(void* userData) { return *static_cast<Recorder*>(userData); }
    static std::string named(const char* name) { return name ? std::string(name) + "=" : ""; }

    static const DecodeCallbacks callbacks;
};

const DecodeCallbacks Recorder::callbacks = {
    [](const char* name, bool value, void* u) {
        of(u).events.push_back(named(name) + (value ? "true" : "false"));
        return 0;
    },
    [](const char* name, double value, void* u) {
        of(u).events.push_back(named(name) + "float:" + std::to_string(value));
        return 0;
    },
    [](const char* name, int64_t value, void* u) {
        of(u).events.push_back(named(name) + "int:" + std::to_string(value));
        return 0;
    },
    [](const char* name, uint64_t value, void* u) {
        of(u).events.push_back(named(name) + "uint:" + std::to_string(value));
        return 0;
    },
    [](const char* name, void* u) {
        of(u).events.push_back(named(name) + "null");
        return 0;
    },
    [](const char* name, const char* value, int length, void* u) {
        of(u).events.push_back(named(name) + "\"" + std::string(value, length) + "\"");
        return 0;
    },
    [](const char* name, void* u) {
        of(u).events.push_back(named(name) + "{");
        return 0;
    },
    [](const char* name, void* u) {
        of(u).events.push_back(named(name) + "[");
        return 0;
    },
    [](void* u) {
        of(u).events.push_back("end");
        return 0;
    },
    [](void* u) {
        of(u).events.push_back("done");
        return 0;
    },
};

struct Decoded {
    int result;
    int offset;
    std::vector<std::string> events;
};

Decoded decodeText(const std::string& text, int bufferLength = 4096) {
    std::vector<char> buffer(bufferLength);
    Recorder recorder;
    int offset = -1;
    const int result = decode(text.data(), static_cast<int>(text.size()), buffer.data(),
                              bufferLength, &Recorder::callbacks, &recorder, &offset);
    return {result, offset, recorder.events};
}

using Events = std::vector<std::string>;

TEST(JsonDecoderTest, ReportsElementsWithNames) {
    const auto decoded =
        decodeText(" {\"a\" : [true, null, -0, \"x\\/y\"], \"b\":{}, \"c\":2.5e1}\n");
    ASSERT_EQ(decoded.result, OK);
    EXPECT_EQ(decoded.events, (Events{"{", "a=[", "true", "null", "int:0", "\"x/y\"", "end", "b={",
                                      "end", "c=float:25.000000", "end", "done"}));
}

TEST(JsonDecoderTest, IntegerBoundaries) {
    EXPECT_EQ(decodeText("9223372036854775807").events,
              (Events{"int:9223372036854775807", "done"}));
    EXPECT_EQ(decodeText("9223372036854775808").events,
              (Events{"uint:9223372036854775808", "done"}));
    EXPECT_EQ(decodeText("18446744073709551615").events,
              (Events{"uint:18446744073709551615", "done"}));
    EXPECT_EQ(decodeText("18446744073709551616").events,
              (Events{"float:" + std::to_string(18446744073709551616.0), "done"}));
    EXPECT_EQ(decodeText("-9223372036854775808").events,
              (Events{"int:-9223372036854775808", "done"}));
    EXPECT_EQ(decodeText("-9223372036854775809").events,
              (Events{"float:" + std::to_string(-9223372036854775809.0), "done"}));
}

TEST(JsonDecoderTest, FloatingPointRangeAndSyntax) {
    EXPECT_EQ(decodeText("1e400").events, (Events{"float:inf", "done"}));
    EXPECT_EQ(decodeText("-1e400").events, (Events{"float:-inf", "done"}));
    EXPECT_EQ(decodeText("1e-400").events, (Events{"float:0.000000", "done"}));
    EXPECT_EQ(decodeText("0.0000000001e-400").events, (Events{"float:0.000000", "done"}));
    EXPECT_EQ(decodeText("1E+2").events, (Events{"float:100.000000", "done"}));
    for (const char* bad : {"01", "1.", ".5", "+1", "1e", "-", "1.e3", "0x10", "1e+-2", "[1 2]"}) {
        EXPECT_NE(decodeText(bad).result, OK) << bad;
    }
    // The number text is copied to the string buffer; it must fit.
    EXPECT_EQ(decodeText("[" + std::string(200, '1') + "]", 100).result, ErrorDataTooLong);
}

TEST(JsonDecoderTest, SurrogatePairs) {
    EXPECT_EQ(decodeText("\"\\ud83d\\ude00 \\u00e9\\u20AC\"").events,
              (Events{"\"\xF0\x9F\x98\x80 \xC3\xA9\xE2\x82\xAC\"", "done"}));
    const auto loneHigh = decodeText("\"ab\\ud83d\"");
    EXPECT_EQ(loneHigh.result, ErrorInvalidCharacter);
    EXPECT_EQ(loneHigh.offset, 9);
    EXPECT_EQ(decodeText("\"\\ud83d\\u0041\"").result, ErrorInvalidCharacter);
    EXPECT_EQ(decodeText("\"\\ude00\"").result, ErrorInvalidCharacter);
}

TEST(JsonDecoderTest, StringRules) {
    const auto withNul = decodeText("\"a\\u0000b\"");
    ASSERT_EQ(withNul.result, OK);
    EXPECT_EQ(withNul.events[0], std::string("\"a\0b\"", 5));
    EXPECT_EQ(decodeText("\"tab\there\"").result, ErrorInvalidCharacter);
    EXPECT_EQ(decodeText("\"\\x\"").result, ErrorInvalidCharacter);
    EXPECT_EQ(decodeText("\"\\u12G4\"").result, ErrorInvalidCharacter);
}

TEST(JsonDecoderTest, TruncatedInputGivesTheOffsetOfItsEnd) {
    for (const std::string text : {"{\"a\": 1", "[1, 2", "\"abc", "tru", "{\"a\"", "[1.", "", "  ",
                                   "\"\\u12", "{\"a\":[-"}) {
        const auto decoded = decodeText(text);
        EXPECT_EQ(decoded.result, ErrorIncomplete) << text;
        EXPECT_EQ(decoded.offset, static_cast<int>(text.size())) << text;
    }
}

TEST(JsonDecoderTest, InvalidStructureGivesTheOffsetOfTheFault) {
    const auto decoded = decodeText("{\"a\": 1,}");
    EXPECT_EQ(decoded.result, ErrorInvalidCharacter);
    EXPECT_EQ(decoded.offset, 8);
    EXPECT_EQ(decodeText("[1]]").offset, 3);
    EXPECT_EQ(decodeText("{\"a\" 1}").result, ErrorInvalidCharacter);
    EXPECT_EQ(decodeText("[1}").result, ErrorInvalidCharacter);
    EXPECT_EQ(decodeText("{1:2}").result, ErrorInvalidCharacter);
}

TEST(JsonDecoderTest, BufferTooSmall) {
    // Names get the first quarter of the buffer, strings the rest.
    EXPECT_EQ(decodeText("{\"abcdefgh\": 1}", 40).result, OK);
    EXPECT_EQ(decodeText("{\"abcdefghij\": 1}", 40).result, ErrorDataTooLong);
    EXPECT_EQ(decodeText("\"" + std::string(29, 'x') + "\"", 40).result, OK);
    EXPECT_EQ(decodeText("\"" + std::string(30, 'x') + "\"", 40).result, ErrorDataTooLong);
    EXPECT_EQ(decodeText("\"\\u20AC\"", 4).result, ErrorDataTooLong);
}

TEST(JsonDecoderTest, NestingLimit) {
    const std::string deepest =
        std::string(kMaxDecodeDepth, '[') + std::string(kMaxDecodeDepth, ']');
    EXPECT_EQ(decodeText(deepest).result, OK);
    EXPECT_EQ(decodeText("[" + deepest + "]").result, ErrorInvalidData);
    EXPECT_EQ(decodeText(std::string(100000, '[')).result, ErrorInvalidData);
}

TEST(JsonDecoderTest, CallbackErrorStopsDecoding) {
    DecodeCallbacks callbacks{};
    callbacks.onIntegerElement = [](const char*, int64_t value, void*) {
        return value == 2 ? 42 : 0;
    };
    int count = 0;
    callbacks.onEndContainer = [](void* u) {
        ++*static_cast<int*>(u);
        return 0;
    };
    char buffer[64];
    int offset = 0;
    EXPECT_EQ(decode("[[1],[2],[3]]", 13, buffer, sizeof(buffer), &callbacks, &count, &offset), 42);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(offset, 7);
}

TEST(JsonDecoderTest, StreamedInputMatchesWholeInput) {
    const std::string text =
        "{\"name\": \"a long value that spans several refills \\u00e9\", \"n\": [12345, -6.5e-3, "
        "true, false, null]}";
    struct Reader {
        const std::string* text;
        size_t position;
    } reader{&text, 0};
    auto readThree = [](char* buffer, int capacity, void* data) {
        auto* r = static_cast<Reader*>(data);
        const size_t count =
            std::min<size_t>({3, static_cast<size_t>(capacity), r->text->size() - r->position});
        r->text->copy(buffer, count, r->position);
        r->position += count;
        return static_cast<int>(count);
    };
    char window[3], names[64], strings[256];
    Recorder recorder;
    int offset = 0;
    ASSERT_EQ(decodeStream(window, sizeof(window), readThree, &reader, names, sizeof(names),
                           strings, sizeof(strings), &Recorder::callbacks, &recorder, &offset),
              OK);
    EXPECT_EQ(recorder.events, decodeText(text).events);

    reader.position = 0;
    const std::string cut = text.substr(0, 40);
    reader.text = &cut;
    Recorder cutRecorder;
    EXPECT_EQ(decodeStream(window, sizeof(window), readThree, &reader, names, sizeof(names),
                           strings, sizeof(strings), &Recorder::callbacks, &cutRecorder, &offset),
              ErrorIncomplete);
    EXPECT_EQ(offset, 40);
}

TEST(JsonDecoderTest, ErrorTexts) {
    EXPECT_STREQ(stringForError(ErrorInvalidCharacter), "Invalid character");
    EXPECT_STREQ(stringForError(ErrorDataTooLong), "Data too long");
    EXPECT_STREQ(stringForError(ErrorCannotAddData), "Cannot add data");
    EXPECT_STREQ(stringForError(ErrorIncomplete), "Incomplete data");
    EXPECT_STREQ(stringForError(ErrorInvalidData), "Invalid data");
    EXPECT_STREQ(stringForError(77), "(unknown error)");
}

}  // namespace
}  // namespace skald::crash::json
