#include "envelope/msgpack_serializer.h"

#include <gtest/gtest.h>

#include "support/temp_directory.h"
#include "support/log_capture.h"

namespace skald {
namespace {

using namespace std::string_literals;

TEST(MsgPackSerializerTest, WritesFixmapStr8KeysAndBin32Values) {
    test::TempDirectory dir;
    const std::string file = dir.write("value.bin", "xyz");
    const std::string out = dir.file("out.msgpack");
    ASSERT_TRUE(MsgPackSerializer::serializeDictionaryToMessagePack(
        {{"a", MsgPackValue::bytes("12")}, {"key2", MsgPackValue::file(file)}}, out));
    EXPECT_EQ(test::TempDirectory::read(out),
              "\x82"
              "\xD9\x01"
              "a"
              "\xC6\x00\x00\x00\x02"
              "12"
              "\xD9\x04"
              "key2"
              "\xC6\x00\x00\x00\x03"
              "xyz"s);
}

TEST(MsgPackSerializerTest, CopiesLargeValuesWholeAndReplacesTheFile) {
    test::TempDirectory dir;
    std::string big(3000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    const std::string file = dir.write("big.bin", big);
    const std::string out = dir.write("out.msgpack", std::string(10000, 'o'));
    ASSERT_TRUE(MsgPackSerializer::serializeDictionaryToMessagePack(
        {{"m", MsgPackValue::bytes(big)}, {"f", MsgPackValue::file(file)}}, out));
    const std::string written = test::TempDirectory::read(out);
    ASSERT_EQ(written.size(), 1 + 2 * (3 + 5 + big.size()));
    EXPECT_EQ(written.substr(4, 5), "\xC6\x00\x00\x0B\xB8"s);
    EXPECT_EQ(written.substr(9, big.size()), big);
    EXPECT_EQ(written.substr(written.size() - big.size()), big);
}

TEST(MsgPackSerializerTest, EmptyOrMissingValuesFail) {
    test::LogCapture log;
    test::TempDirectory dir;
    EXPECT_FALSE(MsgPackSerializer::serializeDictionaryToMessagePack(
        {{"a", MsgPackValue::bytes("")}}, dir.file("out")));
    EXPECT_TRUE(log.contains("Data for MessagePack dictionary has no content - Input: <0 bytes>"));

    const std::string absent = dir.file("absent");
    EXPECT_FALSE(MsgPackSerializer::serializeDictionaryToMessagePack(
        {{"a", MsgPackValue::file(absent)}}, dir.file("out")));
    EXPECT_TRUE(log.contains("Could not read file attributes - File: " + absent +
                             " - No such file or directory"));
    EXPECT_TRUE(log.contains("Data for MessagePack dictionary has no content - Input: " + absent));

    // A folder has a size but cannot be read as a stream.
    EXPECT_FALSE(MsgPackSerializer::serializeDictionaryToMessagePack(
        {{"a", MsgPackValue::file(dir.path())}}, dir.file("out")));
    EXPECT_TRUE(
        log.contains("Error reading bytes from input stream - Input: " + dir.path() + " - -1"));
}

TEST(MsgPackSerializerTest, RefusesMapsItCannotEncode) {
    test::TempDirectory dir;
    MsgPackSerializer::Dictionary sixteen;
    for (int i = 0; i < 16; ++i) sixteen.emplace_back(std::to_string(i), MsgPackValue::bytes("x"));
    EXPECT_FALSE(MsgPackSerializer::serializeDictionaryToMessagePack(sixteen, dir.file("out")));
    sixteen.pop_back();
    EXPECT_TRUE(MsgPackSerializer::serializeDictionaryToMessagePack(sixteen, dir.file("out")));
    EXPECT_EQ(static_cast<uint8_t>(test::TempDirectory::read(dir.file("out"))[0]), 0x8F);

    EXPECT_FALSE(MsgPackSerializer::serializeDictionaryToMessagePack(
        {{std::string(256, 'k'), MsgPackValue::bytes("x")}}, dir.file("out")));
    EXPECT_TRUE(MsgPackSerializer::serializeDictionaryToMessagePack(
        {{std::string(255, 'k'), MsgPackValue::bytes("x")}}, dir.file("out")));

    EXPECT_FALSE(MsgPackSerializer::serializeDictionaryToMessagePack(
        {{"a", MsgPackValue::bytes("x")}}, dir.file("no/such/folder")));
}

}  // namespace
}  // namespace skald
