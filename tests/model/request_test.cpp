#include "skald/request.h"

#include <gtest/gtest.h>

#include <thread>

namespace skald {
namespace {

TEST(Request, WritesSetKeysAndSanitizedHeaders) {
    Request request;
    EXPECT_EQ(request.serialize(), Json::object());
    request.bodySize = 1024;
    request.cookies = "a=b";
    request.fragment = "top";
    request.headers = Json{{"Content-Type", "application/json"}, {"__skald_trace", "x"}};
    request.method = "POST";
    request.queryString = "q=1";
    request.url = "https://example.invalid/api";
    EXPECT_EQ(request.serialize().dump(),
              R"({"body_size":1024,"cookies":"a=b","fragment":"top",)"
              R"("headers":{"Content-Type":"application/json"},"method":"POST",)"
              R"("query_string":"q=1","url":"https://example.invalid/api"})");
}

TEST(Request, ZeroBodySizeIsLeftOut) {
    Request request;
    request.bodySize = 0;
    EXPECT_FALSE(request.serialize().contains("body_size"));
}

TEST(Request, SerializeWaitsForWritersHoldingTheLock) {
    Request request;
    std::unique_lock lock(request.mutex);
    std::thread reader([&] {
        const Json json = request.serialize();
        EXPECT_EQ(json["url"], "https://example.invalid/late");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    request.url = "https://example.invalid/late";
    lock.unlock();
    reader.join();
}

}  // namespace
}  // namespace skald
