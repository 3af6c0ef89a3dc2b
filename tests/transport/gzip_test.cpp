#include "skald/platform/gzip.h"

#include <gtest/gtest.h>

#include <random>

namespace skald {
namespace {

std::string gunzip(const std::string& compressed) {
    const auto out = gzipDecompress(compressed, 64u << 20);
    EXPECT_TRUE(out) << "not one complete gzip stream";
    return out.value_or("");
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

TEST(GzipTest, DecompressRefusesTruncatedGarbageAndOversizedStreams) {
    const std::string text(5000, 'b');
    const auto out = *gzipCompress(text, kDefaultCompressionLevel);
    EXPECT_EQ(gzipDecompress(out, text.size()), text) << "a limit equal to the size is enough";
    EXPECT_FALSE(gzipDecompress(out, text.size() - 1));
    EXPECT_FALSE(gzipDecompress(out.substr(0, out.size() - 3), 1 << 20));
    EXPECT_FALSE(gzipDecompress(out + "trailing", 1 << 20));
    EXPECT_FALSE(gzipDecompress("not gzip at all", 1 << 20));
}

}  // namespace
}  // namespace skald
