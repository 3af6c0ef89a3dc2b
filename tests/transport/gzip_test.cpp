#include "transport/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace skald {
namespace {

std::string gunzip(const std::string& compressed) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 31), Z_OK);
    std::string out;
    char buffer[16384];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
    }
    EXPECT_EQ(status, Z_STREAM_END);
    inflateEnd(&stream);
    return out;
}

TEST(GzipTest, EmptyInputGivesEmptyOutput) {
    const auto out = gzipCompress("", kDefaultCompressionLevel);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out->empty());
}

TEST(GzipTest, OutputIsGzipThatInflatesToTheInput) {
    const std::string text(10000, 'a');
    const auto out = gzipCompress(text, kDefaultCompressionLevel);
    ASSERT_TRUE(out);
    ASSERT_GE(out->size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>((*out)[0]), 0x1F);
    EXPECT_EQ(static_cast<unsigned char>((*out)[1]), 0x8B);
    EXPECT_LT(out->size(), text.size() / 10);
    EXPECT_EQ(gunzip(*out), text);
}

TEST(GzipTest, IncompressibleInputIsNeverCutShort) {
    std::mt19937 random(7);
    for (size_t size : {1u, 7u, 100u, 4096u, 1u << 20}) {
        std::string noise(size, '\0');
        for (auto& c : noise) c = static_cast<char>(random());
        const auto out = gzipCompress(noise, 9);
        ASSERT_TRUE(out) << size;
        EXPECT_EQ(gunzip(*out), noise) << size;
    }
}

TEST(GzipTest, InvalidLevelIsAnError) {
    Error error;
    EXPECT_FALSE(gzipCompress("data", 42, &error));
    EXPECT_EQ(error.domain, "SkaldErrorDomain");
    EXPECT_EQ(error.code, 103);
    EXPECT_EQ(error.localizedDescription, "deflateInit2 error");
}

}  // namespace
}  // namespace skald
