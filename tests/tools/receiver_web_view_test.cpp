// The receiver's web view over HTTP: its page, its JSON, downloads and the live stream.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "skald/platform/gzip.h"
#include "tools/receiver/receiver.h"
#include "tools/receiver/web_assets.h"
#include "tools/receiver/web_view.h"
#include "util/json_bytes.h"

namespace skald::tools {
namespace {

using namespace std::chrono_literals;

std::string item(const std::string& type, const std::string& payload,
                 const std::string& extra = "") {
    return "\n{\"type\":\"" + type + "\",\"length\":" + std::to_string(payload.size()) + extra +
           "}\n" + payload;
}

class ReceiverWebViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ReceiverConfig config;
        config.port = 0;
        config.output = [](const std::string&) {};
        receiver = std::make_unique<Receiver>(config);
        std::string error;
        ASSERT_TRUE(receiver->start(&error)) << error;
    }
    void TearDown() override { receiver->stop(); }

    void send(const std::string& envelope) {
        httplib::Client client("127.0.0.1", receiver->port());
        const auto result = client.Post("/stream", {{"Content-Encoding", "gzip"}},
                                        *gzipCompress(envelope, kDefaultCompressionLevel),
                                        "application/x-skald-envelope");
        ASSERT_TRUE(result);
        ASSERT_EQ(result->status, 200) << result->body;
    }

    httplib::Result get(const std::string& path) {
        httplib::Client client("127.0.0.1", receiver->port());
        return client.Get(path.c_str());
    }

    Json getJson(const std::string& path) {
        const auto result = get(path);
        if (!result || result->status != 200) return nullptr;
        return parseJsonBytes(result->body).value_or(nullptr);
    }

    std::unique_ptr<Receiver> receiver;
};

TEST_F(ReceiverWebViewTest, ServesItsOwnPageWithAStrictPolicy) {
    const auto page = get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("/web/app.js"), std::string::npos);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    const std::string policy = page->get_header_value("Content-Security-Policy");
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos);
    EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");

    // Every file the page names is compiled in, and nothing points elsewhere.
    for (const auto& asset : webAssets()) {
        const auto file = get(std::string(asset.path));
        ASSERT_TRUE(file) << asset.path;
        EXPECT_EQ(file->status, 200) << asset.path;
        EXPECT_EQ(file->body, asset.data);
        std::string body = file->body;
        // The SVG namespace is a name, not an address that is fetched.
        const std::string svgNamespace = "http://www.w3.org/2000/svg";
        for (size_t at; (at = body.find(svgNamespace)) != std::string::npos;)
            body.erase(at, svgNamespace.size());
        EXPECT_EQ(body.find("http://"), std::string::npos) << asset.path;
        EXPECT_EQ(body.find("https://"), std::string::npos) << asset.path;
        EXPECT_EQ(body.find("//cdn"), std::string::npos) << asset.path;
        EXPECT_EQ(file->body.find("innerHTML"), std::string::npos) << asset.path;
    }
    EXPECT_GE(webAssets().size(), 3u);
    EXPECT_EQ(get("/web/missing.js")->status, 404);
    EXPECT_EQ(get("/web/../receiver.cpp")->status, 404);
}

TEST_F(ReceiverWebViewTest, ListsDetailsAndDownloadsWhatArrived) {
    send("{}" + item("event", R"({"event_id":"aa","level":"error","message":{"formatted":"hi"}})") +
         item("attachment", "<script>1</script>\n", R"(,"filename":"\"><img src=x>.html")"));
    const Json list = getJson("/api/items");
    ASSERT_EQ(list["items"].size(), 1u);
    const uint64_t id = list["items"][0]["id"];
    EXPECT_EQ(list["items"][0]["title"], "hi");
    EXPECT_EQ(getJson("/api/items?kind=crash")["items"].size(), 0u);

    const Json detail = getJson("/api/items/" + std::to_string(id));
    EXPECT_EQ(detail["payload"]["event_id"], "aa");
    ASSERT_EQ(detail["attachments"].size(), 1u);

    const auto download = get("/api/items/" + std::to_string(id) + "/attachments/0");
    ASSERT_TRUE(download);
    EXPECT_EQ(download->status, 200);
    EXPECT_EQ(download->body, "<script>1</script>\n");
    // Never rendered: the bytes and the name came from outside.
    EXPECT_EQ(download->get_header_value("Content-Type"), "application/octet-stream");
    // (The client decodes the percent-encoded name; the exact header is tested below.)
    EXPECT_EQ(download->get_header_value("Content-Disposition")
                  .rfind("attachment; filename=\"___img_src_x_.html\"; filename*=UTF-8''", 0),
              0u);

    EXPECT_EQ(get("/api/items/999")->status, 404);
    EXPECT_EQ(get("/api/items/" + std::to_string(id) + "/attachments/1")->status, 404);
    EXPECT_EQ(get("/api/items/99999999999999999999999")->status, 404);
}

TEST(ReceiverDownloadNameTest, KeepsOnlySafeCharactersInThePlainName) {
    EXPECT_EQ(attachmentDisposition("log.txt"),
              "attachment; filename=\"log.txt\"; filename*=UTF-8''log.txt");
    EXPECT_EQ(
        attachmentDisposition("a b\"\r\n;ä.txt"),
        "attachment; filename=\"a_b______.txt\"; filename*=UTF-8''a%20b%22%0D%0A%3B%C3%A4.txt");
    EXPECT_EQ(attachmentDisposition(".."),
              "attachment; filename=\"attachment\"; filename*=UTF-8''..");
    EXPECT_EQ(attachmentDisposition(""), "attachment; filename=\"attachment\"; filename*=UTF-8''");
}

TEST_F(ReceiverWebViewTest, StreamsNewItemsAsServerSentEvents) {
    std::string received;
    std::mutex mutex;
    std::condition_variable changed;
    std::thread reader([&] {
        httplib::Client client("127.0.0.1", receiver->port());
        client.set_read_timeout(20, 0);
        client.Get("/stream", [&](const char* data, size_t length) {
            std::lock_guard guard(mutex);
            received.append(data, length);
            changed.notify_all();
            return received.find("event: item") == std::string::npos ||
                   received.find("\n\n", received.find("event: item")) == std::string::npos;
        });
    });
    auto waitFor = [&](const std::string& text) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s,
                                [&] { return received.find(text) != std::string::npos; });
    };
    ASSERT_TRUE(waitFor("event: hello"));
    send("{}" + item("session", R"({"sid":"S1","status":"ok","seq":1})"));
    ASSERT_TRUE(waitFor("event: item"));
    reader.join();
    const size_t data = received.find("data: ", received.find("event: item"));
    ASSERT_NE(data, std::string::npos);
    const auto item =
        parseJsonBytes(received.substr(data + 6, received.find('\n', data) - data - 6));
    ASSERT_TRUE(item);
    EXPECT_EQ((*item)["kind"], "session");
    EXPECT_NE(received.find("id: 1\n"), std::string::npos);

    const Json sessions = getJson("/api/sessions");
    ASSERT_EQ(sessions["sessions"].size(), 1u);
    EXPECT_EQ(sessions["sessions"][0]["sid"], "S1");
}

TEST_F(ReceiverWebViewTest, ANewStreamEndsTheOldestBeyondTheLimitAndStopEndsThemAll) {
    // Pages that were left keep their stream until a write fails; the newest
    // page must still get its updates.
    std::vector<std::thread> readers;
    std::atomic<int> opened{0};
    std::vector<std::atomic<bool>> ended(kWebViewWorkerThreads);
    auto openReader = [&](int index) {
        readers.emplace_back([&, index] {
            httplib::Client client("127.0.0.1", receiver->port());
            client.set_read_timeout(30, 0);
            bool counted = false;
            client.Get("/stream", [&](const char*, size_t) {
                if (!counted) opened.fetch_add(1);
                counted = true;
                return true;
            });
            ended[index] = true;
        });
    };
    auto waitUntil = [](const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        return condition();
    };
    const int usual = kWebViewWorkerThreads / 2 - 2;
    for (int i = 0; i < usual; ++i) {
        openReader(i);
        ASSERT_TRUE(waitUntil([&] { return opened.load() == i + 1; }));
    }
    openReader(usual);
    ASSERT_TRUE(waitUntil([&] { return opened.load() == usual + 1; }));
    EXPECT_TRUE(waitUntil([&] { return ended[0].load(); })) << "the oldest stream goes on";
    for (int i = 1; i <= usual; ++i) EXPECT_FALSE(ended[i]) << i;

    // Envelopes still get through while the streams are open.
    send("{}" + item("event", "{}"));

    const auto started = std::chrono::steady_clock::now();
    receiver->stop();
    for (auto& reader : readers) reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST(ReceiverKeptEnvelopesTest, KeepsTheLatestEnvelopesAndCountsThemAll) {
    ReceiverConfig config;
    config.port = 0;
    config.output = [](const std::string&) {};
    config.maxKeptEnvelopes = 2;
    Receiver receiver(config);
    ASSERT_TRUE(receiver.start());
    httplib::Client client("127.0.0.1", receiver.port());
    for (int i = 0; i < 3; ++i) {
        const std::string body = "{}" + item("event", "{\"n\":" + std::to_string(i) + "}");
        ASSERT_EQ(client
                      .Post("/stream", {{"Content-Encoding", "gzip"}},
                            *gzipCompress(body, kDefaultCompressionLevel), "text/plain")
                      ->status,
                  200);
    }
    EXPECT_TRUE(receiver.waitForEnvelopes(3, 1s));
    const auto kept = receiver.received();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_NE(kept[0].body.find("{\"n\":1}"), std::string::npos);
    receiver.stop();
}

TEST_F(ReceiverWebViewTest, AnswersWithJsonEvenForBrokenText) {
    // Text payloads are kept as bytes; what the page reads is still valid JSON.
    send("{}" + item("event", "{\"message\":{\"formatted\":\"a\xff\xfe b\"}}") +
         item("statsd", "x\xff:1.0|c|T5"));
    const auto list = get("/api/items");
    ASSERT_TRUE(list);
    const auto parsed = parseJsonBytes(list->body);
    ASSERT_TRUE(parsed);
    ASSERT_EQ((*parsed)["items"].size(), 2u);
    const Json event =
        getJson("/api/items/" + std::to_string((*parsed)["items"][1]["id"].get<uint64_t>()));
    EXPECT_TRUE(event["payload"].is_null());
    EXPECT_FALSE(event["note"].get<std::string>().empty());
    const Json metrics = getJson("/api/metrics");
    ASSERT_EQ(metrics["metrics"].size(), 1u);
    EXPECT_EQ(metrics["metrics"][0]["name"], "x\xEF\xBF\xBD");
    EXPECT_EQ(metrics["metrics"][0]["points"][0]["time"], 5.0);
}

}  // namespace
}  // namespace skald::tools
