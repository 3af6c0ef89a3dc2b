#include "tools/receiver/receiver.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "skald/platform/gzip.h"

namespace skald::tools {
namespace {

using namespace std::chrono_literals;

const std::string kEnvelope =
    "{\"event_id\":\"9ec79c33ec9942ab8353589fcb2e04dc\"}\n"
    "{\"type\":\"event\",\"length\":41}\n"
    "{\"event_id\":\"9ec79c33ec9942ab8353589fc\"}\n"
    "{\"type\":\"attachment\",\"length\":3,\"filename\":\"a.txt\"}\n"
    "abc";

const std::string kAuth = "Skald skald_version=7,skald_client=skald.cocoa/1.0.0,skald_key=public";

class ReceiverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = std::filesystem::temp_directory_path() /
                    ("skald-receiver-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory);
        ReceiverConfig config;
        config.port = 0;
        config.storeDirectory = directory.string();
        config.expectedKey = "public";
        config.output = [this](const std::string& line) { lines.push_back(line); };
        receiver = std::make_unique<Receiver>(config);
        std::string error;
        ASSERT_TRUE(receiver->start(&error)) << error;
    }
    void TearDown() override {
        receiver->stop();
        std::filesystem::remove_all(directory);
    }

    httplib::Result post(const std::string& path, const std::string& body,
                         const std::string& auth = kAuth, bool gzip = true) {
        httplib::Client client("127.0.0.1", receiver->port());
        httplib::Headers headers;
        if (!auth.empty()) headers.emplace("X-Skald-Auth", auth);
        if (gzip) headers.emplace("Content-Encoding", "gzip");
        const std::string payload = gzip ? *gzipCompress(body, kDefaultCompressionLevel) : body;
        return client.Post(path.c_str(), headers, payload, "application/x-skald-envelope");
    }

    std::filesystem::path directory;
    std::vector<std::string> lines;
    std::unique_ptr<Receiver> receiver;
};

TEST_F(ReceiverTest, AcceptsEnvelopesAtAnyDsnEndpointAndStoresThem) {
    auto result = post("/api/42/envelope/", kEnvelope);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    result = post("/prefix/deeper/api/7/envelope/", kEnvelope);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);

    const auto received = receiver->received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].body, kEnvelope);
    EXPECT_EQ(received[1].path, "/prefix/deeper/api/7/envelope/");
    std::ifstream stored(received[0].storedFile, std::ios::binary);
    const std::string onDisk((std::istreambuf_iterator<char>(stored)), {});
    EXPECT_EQ(onDisk, kEnvelope);
    // One summary line per item.
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find("event"), std::string::npos);
    EXPECT_NE(lines[1].find("a.txt"), std::string::npos);
}

TEST_F(ReceiverTest, DevelopmentStreamNeedsNoAuthentication) {
    const auto result = post("/stream", kEnvelope, "");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(receiver->received().size(), 1u);
}

TEST_F(ReceiverTest, RejectsBadAuthenticationWithAClearStatus) {
    auto result = post("/api/42/envelope/", kEnvelope, "");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
    EXPECT_NE(result->body.find("missing X-Skald-Auth"), std::string::npos);

    result = post("/api/42/envelope/", kEnvelope,
                  "Skald skald_version=7,skald_client=x/1,skald_key=intruder");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 403);
    EXPECT_NE(result->body.find("intruder"), std::string::npos);

    result = post("/api/42/envelope/", kEnvelope, "Bearer public");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
    EXPECT_TRUE(receiver->received().empty());
    EXPECT_EQ(receiver->rejectedCount(), 3u);
}

TEST_F(ReceiverTest, RejectsBodiesThatAreNotGzipOrNotEnvelopes) {
    auto result = post("/api/42/envelope/", kEnvelope, kAuth, false);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 415);

    httplib::Client client("127.0.0.1", receiver->port());
    result =
        client.Post("/api/42/envelope/", {{"X-Skald-Auth", kAuth}, {"Content-Encoding", "gzip"}},
                    "plain text", "application/x-skald-envelope");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400);
    EXPECT_NE(result->body.find("not valid gzip"), std::string::npos);

    const std::string gz = *gzipCompress(kEnvelope, kDefaultCompressionLevel);
    result =
        client.Post("/api/42/envelope/", {{"X-Skald-Auth", kAuth}, {"Content-Encoding", "gzip"}},
                    gz.substr(0, gz.size() / 2), "application/x-skald-envelope");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400) << "a truncated gzip body is not accepted";

    result = post("/api/42/envelope/", "no newline, no envelope");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400);
    EXPECT_NE(result->body.find("not an envelope"), std::string::npos);
    EXPECT_TRUE(receiver->received().empty());
}

TEST_F(ReceiverTest, AnswersWithTheChosenStatusAndHeaders) {
    receiver->setStatus(429);
    receiver->setRateLimitsHeader("60:error");
    receiver->setRetryAfterHeader("120");
    const auto result = post("/api/42/envelope/", kEnvelope);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 429);
    EXPECT_EQ(result->get_header_value("X-Skald-Rate-Limits"), "60:error");
    EXPECT_EQ(result->get_header_value("Retry-After"), "120");
    EXPECT_EQ(receiver->received().size(), 1u) << "a refused envelope was still received";
}

TEST(ReceiverAuthTest, ParsesTheAuthenticationHeader) {
    std::string problem;
    EXPECT_EQ(publicKeyFromAuthHeader(kAuth), "public");
    EXPECT_EQ(publicKeyFromAuthHeader(kAuth + ",skald_secret=s"), "public");
    EXPECT_FALSE(publicKeyFromAuthHeader("Skald skald_key=k", &problem));
    EXPECT_NE(problem.find("skald_version"), std::string::npos);
    EXPECT_FALSE(publicKeyFromAuthHeader("Skald skald_version=7,,skald_key=k", &problem));
    EXPECT_FALSE(publicKeyFromAuthHeader("Skald skald_version=7,skald_key=", &problem));
}

}  // namespace
}  // namespace skald::tools
