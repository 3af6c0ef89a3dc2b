#include "crash/async_safe/json_encoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "crash/recording/json_codec.h"

namespace skald::crash::json {
namespace {

int appendTo(const char* data, int length, void* userData) {
    static_cast<std::string*>(userData)->append(data, static_cast<size_t>(length));
    return OK;
}

class JsonEncoderTest : public ::testing::Test {
  protected:
    void begin(bool pretty = false) { beginEncode(&context, pretty, appendTo, &out); }

    /// Whether the output is one valid JSON document.
    bool outputIsValid() const {
        Error error;
        return JSONCodec::decode(out, 0, &error).has_value();
    }

    EncodeContext context;
    std::string out;
};

TEST_F(JsonEncoderTest, EscapesQuotesControlsAndLeavesUtf8AndSlashAlone) {
    begin();
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    EXPECT_EQ(addStringElement(&context, "value", "a\tb\"c\\d\b\f\n\r/\xC3\xA9", -1), OK);
    EXPECT_EQ(addStringElement(&context, "k\"ey", "x", 1), OK);
    ASSERT_EQ(endEncode(&context), OK);
    EXPECT_EQ(out, "{\"value\":\"a\\tb\\\"c\\\\d\\b\\f\\n\\r/\xC3\xA9\",\"k\\\"ey\":\"x\"}");
}

TEST_F(JsonEncoderTest, RejectedControlCharacterWritesNothing) {
    begin();
    ASSERT_EQ(beginArray(&context, nullptr), OK);
    ASSERT_EQ(addIntegerElement(&context, nullptr, 1), OK);
    EXPECT_EQ(addStringElement(&context, nullptr, "bad\x01", -1), ErrorInvalidCharacter);
    // A long string rejected near its end: no partial chunk escapes.
    std::string longValue(2000, 'a');
    longValue += '\x1F';
    EXPECT_EQ(addStringElement(&context, nullptr, longValue.c_str(), -1), ErrorInvalidCharacter);
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    EXPECT_EQ(addBooleanElement(&context, "bad\x02name", true), ErrorInvalidCharacter);
    EXPECT_EQ(addBooleanElement(&context, nullptr, true), ErrorInvalidData);
    ASSERT_EQ(endEncode(&context), OK);
    EXPECT_EQ(out, "[1,{}]");
}

TEST_F(JsonEncoderTest, LongStringsAreEscapedAcrossChunks) {
    std::string value;
    for (int i = 0; i < 3000; ++i) value += (i % 7 == 0) ? '"' : static_cast<char>('a' + i % 26);
    begin();
    ASSERT_EQ(addStringElement(&context, nullptr, value.data(), static_cast<int>(value.size())),
              OK);
    Error error;
    const auto decoded = JSONCodec::decode(out, 0, &error);
    ASSERT_TRUE(decoded.has_value()) << error.localizedDescription;
    EXPECT_EQ(decoded->get<std::string>(), value);
}

TEST_F(JsonEncoderTest, ScalarsAndNonFiniteNumbers) {
    begin();
    ASSERT_EQ(beginArray(&context, nullptr), OK);
    EXPECT_EQ(addFloatingPointElement(&context, nullptr, std::nan("")), OK);
    EXPECT_EQ(addFloatingPointElement(&context, nullptr, HUGE_VAL), OK);
    EXPECT_EQ(addFloatingPointElement(&context, nullptr, -HUGE_VAL), OK);
    EXPECT_EQ(addFloatingPointElement(&context, nullptr, 0.1), OK);
    EXPECT_EQ(addFloatingPointElement(&context, nullptr, 123456789.0), OK);
    EXPECT_EQ(addFloatingPointElement(&context, nullptr, 1.5e-7), OK);
    EXPECT_EQ(addIntegerElement(&context, nullptr, std::numeric_limits<int64_t>::min()), OK);
    EXPECT_EQ(addUIntegerElement(&context, nullptr, std::numeric_limits<uint64_t>::max()), OK);
    EXPECT_EQ(addBooleanElement(&context, nullptr, false), OK);
    EXPECT_EQ(addNullElement(&context, nullptr), OK);
    EXPECT_EQ(addDataElement(&context, nullptr, "\x00\xAB\x7f", 3), OK);
    const unsigned char uuid[16] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0,
                                    0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(addUUIDElement(&context, nullptr, uuid), OK);
    EXPECT_EQ(addUUIDElement(&context, nullptr, nullptr), OK);
    ASSERT_EQ(endEncode(&context), OK);
    // The floating-point texts are those of printf's "%lg".
    char expected[64];
    std::snprintf(expected, sizeof(expected), "%lg,%lg,%lg", 0.1, 123456789.0, 1.5e-7);
    EXPECT_EQ(out, std::string("[null,null,null,") + expected +
                       ",-9223372036854775808,18446744073709551615,false,null,\"00AB7F\","
                       "\"12345678-9ABC-DEF0-0123-456789ABCDEF\",null]");
}

TEST_F(JsonEncoderTest, StreamedStringAndDataElements) {
    begin();
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    ASSERT_EQ(beginStringElement(&context, "s"), OK);
    EXPECT_EQ(appendStringElement(&context, "line\n", -1), OK);
    EXPECT_EQ(appendStringElement(&context, "bad\x03", -1), ErrorInvalidCharacter);
    EXPECT_EQ(appendStringElement(&context, "end", 3), OK);
    ASSERT_EQ(endStringElement(&context), OK);
    ASSERT_EQ(beginDataElement(&context, "d"), OK);
    EXPECT_EQ(appendDataElement(&context, "\x01\x02", 2), OK);
    EXPECT_EQ(appendDataElement(&context, "\xFF", 1), OK);
    ASSERT_EQ(endDataElement(&context), OK);
    ASSERT_EQ(endEncode(&context), OK);
    EXPECT_EQ(out, "{\"s\":\"line\\nend\",\"d\":\"0102FF\"}");
}

TEST_F(JsonEncoderTest, PrettyPrintedLayout) {
    begin(true);
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    ASSERT_EQ(addIntegerElement(&context, "a", 1), OK);
    ASSERT_EQ(beginArray(&context, "list"), OK);
    ASSERT_EQ(addStringElement(&context, nullptr, "x", -1), OK);
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    ASSERT_EQ(endContainer(&context), OK);
    ASSERT_EQ(endContainer(&context), OK);
    ASSERT_EQ(beginArray(&context, "empty"), OK);
    ASSERT_EQ(endEncode(&context), OK);
    EXPECT_EQ(out,
              "{\n"
              "    \"a\": 1,\n"
              "    \"list\": [\n"
              "        \"x\",\n"
              "        {}\n"
              "    ],\n"
              "    \"empty\": []\n"
              "}");
}

TEST_F(JsonEncoderTest, NestingStopsCleanlyAtTheLimit) {
    begin();
    for (int i = 0; i < kMaxContainerDepth; ++i) ASSERT_EQ(beginArray(&context, nullptr), OK);
    const std::string before = out;
    EXPECT_EQ(beginArray(&context, nullptr), ErrorInvalidData);
    EXPECT_EQ(beginObject(&context, nullptr), ErrorInvalidData);
    EXPECT_EQ(out, before);
    EXPECT_EQ(context.containerLevel, kMaxContainerDepth);
    ASSERT_EQ(endEncode(&context), OK);
    EXPECT_EQ(out, std::string(200, '[') + std::string(200, ']'));
    EXPECT_EQ(endContainer(&context), ErrorInvalidData);
}

TEST_F(JsonEncoderTest, FailingSinkIsReported) {
    beginEncode(
        &context, false,
        [](const char*, int, void*) { return static_cast<int>(ErrorCannotAddData); }, nullptr);
    EXPECT_EQ(beginObject(&context, nullptr), ErrorCannotAddData);
    EXPECT_EQ(addStringElement(&context, "a", std::string(5000, 'x').c_str(), -1),
              ErrorCannotAddData);
}

class JsonEmbeddingTest : public JsonEncoderTest {};

TEST_F(JsonEmbeddingTest, TruncatedObjectIsClosedWithTheFlag) {
    begin();
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    const char* truncated = "{\"a\": [1, {\"b\": \"text\"";
    EXPECT_EQ(addRawJSON(&context, "user", truncated, -1, true), ErrorIncomplete);
    EXPECT_EQ(context.containerLevel, 1);
    ASSERT_EQ(addIntegerElement(&context, "after", 2), OK);
    ASSERT_EQ(endEncode(&context), OK);
    EXPECT_EQ(out, "{\"user\":{\"a\":[1,{\"b\":\"text\"}]},\"after\":2}");
    EXPECT_TRUE(outputIsValid());
}

TEST_F(JsonEmbeddingTest, ObjectUnderTopLevelKeyStaysOpenForTheWriter) {
    begin();
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    ASSERT_EQ(
        addRawJSON(&context, "user", " {\"id\": \"42\", \"nested\": {\"n\": [true]}} ", -1, false),
        OK);
    EXPECT_EQ(context.containerLevel, 2);
    ASSERT_EQ(addStringElement(&context, "added", "by writer", -1), OK);
    ASSERT_EQ(endContainer(&context), OK);
    ASSERT_EQ(beginObject(&context, "crash"), OK);
    // Deeper than directly under a top-level key, the embedded object closes itself.
    ASSERT_EQ(addRawJSON(&context, "error", "{\"code\": -1.5e3}", -1, false), OK);
    EXPECT_EQ(context.containerLevel, 2);
    ASSERT_EQ(endEncode(&context), OK);
    EXPECT_EQ(out,
              "{\"user\":{\"id\":\"42\",\"nested\":{\"n\":[true]},\"added\":\"by writer\"},"
              "\"crash\":{\"error\":{\"code\":-1500}}}");
}

TEST_F(JsonEmbeddingTest, InvalidTextWritesNothing) {
    begin();
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    EXPECT_EQ(addRawJSON(&context, "user", "nope", -1, true), ErrorInvalidCharacter);
    EXPECT_EQ(addRawJSON(&context, "user", "", 0, true), ErrorIncomplete);
    ASSERT_EQ(endEncode(&context), OK);
    EXPECT_EQ(out, "{}");
}

TEST_F(JsonEmbeddingTest, FileLargerThanTheReadWindow) {
    char path[] = "/tmp/skald-json-file-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "{\"frames\": [";
    for (int i = 0; i < 300; ++i) text += (i ? ", " : "") + std::to_string(1000000 + i);
    text += "], \"long\": \"" + std::string(1500, 'z') + "\"}";
    ASSERT_GT(text.size(), 3000u);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);

    begin();
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    ASSERT_EQ(beginObject(&context, "report"), OK);
    EXPECT_EQ(addJSONFile(&context, "file", path, false), OK);
    ASSERT_EQ(endEncode(&context), OK);
    unlink(path);

    Error error;
    const auto decoded = JSONCodec::decode(out, 0, &error);
    ASSERT_TRUE(decoded.has_value()) << error.localizedDescription;
    EXPECT_EQ((*decoded)["report"]["file"], Json::parse(text));
}

TEST_F(JsonEmbeddingTest, MissingFileIsAnError) {
    begin();
    ASSERT_EQ(beginObject(&context, nullptr), OK);
    EXPECT_EQ(addJSONFile(&context, "file", "/nonexistent/skald.json", true), ErrorCannotAddData);
    ASSERT_EQ(endEncode(&context), OK);
    EXPECT_EQ(out, "{}");
}

}  // namespace
}  // namespace skald::crash::json
