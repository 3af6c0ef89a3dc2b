// Automatic instrumentation end to end: a host's requests, file work and
// object store calls inside one transaction reach the receiver as spans, a
// failed-request event and breadcrumbs, without the host doing anything.
#include <gtest/gtest.h>

#include "e2e/example_fixture.h"
#include "support/loopback_http_server.h"

namespace skald::test {
namespace {

class InstrumentedEndToEnd : public ExampleEndToEnd {
  protected:
    void SetUp() override {
        ExampleEndToEnd::SetUp();
        server->set_tcp_nodelay(true);
        server->Get(R"(/status/(\d+))",
                    [this](const httplib::Request& request, httplib::Response& response) {
                        seen.add(request);
                        response.status = std::stoi(request.matches[1]);
                        response.set_content("status " + request.matches[1].str(), "text/plain");
                    });
        server.start();
        fs::create_directories(root / "work");
    }

    LoopbackHttpServer server;
    HttpRequestLog seen;
};

TEST_F(InstrumentedEndToEnd, RequestsFilesAndTheObjectStoreBecomeSpansEventsAndBreadcrumbs) {
    const auto run = runProgram(SKALD_INSTRUMENTED_HOST_PATH,
                                {server.url(""), (root / "work").string(), "--propagate",
                                 "/status/200", "--propagate", "/status/500"});
    ASSERT_EQ(run.status, 0) << run.output;

    std::vector<Json> transactions;
    std::vector<Json> events;
    for (const auto& envelope : receivedEnvelopes()) {
        for (auto& item : itemsOfType(*envelope, "transaction")) transactions.push_back(item);
        for (auto& item : itemsOfType(*envelope, "event")) events.push_back(item);
    }
    ASSERT_EQ(transactions.size(), 1u) << run.output;
    const Json& spans = transactions[0]["spans"];
    std::vector<std::string> operations;
    for (const auto& span : spans) operations.push_back(span["op"]);
    EXPECT_EQ(operations,
              (std::vector<std::string>{"http.client", "http.client", "http.client", "file.write",
                                        "file.read", "db.sql.transaction", "db.sql.query"}))
        << spans.dump(1);
    ASSERT_EQ(spans.size(), 7u);
    const std::string base = server.url("/status/");
    EXPECT_EQ(spans[0]["description"], "GET " + base + "200");
    EXPECT_EQ(spans[0]["data"]["url"], base + "200");
    EXPECT_EQ(spans[0]["data"]["http.request.method"], "GET");
    EXPECT_EQ(spans[0]["status"], "ok");
    EXPECT_EQ(spans[1]["status"], "not_found");
    EXPECT_EQ(spans[2]["status"], "internal_error");
    EXPECT_EQ(spans[3]["description"], "data.bin (2 KB)");
    EXPECT_EQ(spans[3]["data"]["file.size"], 2048);
    EXPECT_EQ(spans[4]["data"]["file.size"], 2048);
    EXPECT_EQ(spans[5]["description"], "INSERTED 2 'Item'");
    EXPECT_EQ(spans[5]["data"]["db.system"], "SQLite");
    EXPECT_EQ(spans[6]["description"], "SELECT 'Item' WHERE price > %@ SORT BY name DESCENDING");
    EXPECT_EQ(spans[6]["data"]["read_count"], 2);

    // Headers only where the propagation targets say, each from its own span.
    const auto requests = seen.all();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(requests[0].has_header("skald-trace"));
    EXPECT_TRUE(requests[0].has_header("baggage"));
    EXPECT_FALSE(requests[1].has_header("skald-trace"));
    EXPECT_FALSE(requests[1].has_header("baggage"));
    EXPECT_TRUE(requests[2].has_header("skald-trace"));
    EXPECT_EQ(requests[0].get_header_value("skald-trace"),
              transactions[0]["contexts"]["trace"]["trace_id"].get<std::string>() + "-" +
                  spans[0]["span_id"].get<std::string>() + "-1");

    const Json* failed = nullptr;
    const Json* message = nullptr;
    for (const auto& event : events) {
        if (event.contains("exception")) failed = &event;
        if (event.contains("message")) message = &event;
    }
    ASSERT_NE(failed, nullptr) << run.output;
    EXPECT_EQ(failed->at("exception")["values"][0]["value"],
              "HTTP Client Error with status code: 500");
    EXPECT_EQ(failed->at("request")["url"], base + "500");
    EXPECT_EQ(failed->at("contexts")["response"]["status_code"], 500);

    ASSERT_NE(message, nullptr);
    std::vector<std::string> crumbUrls;
    for (const auto& crumb : message->at("breadcrumbs")) {
        if (crumb["category"] == "http") crumbUrls.push_back(crumb["data"]["url"]);
    }
    // Three requests to the loopback server; none to the receiver, which the
    // SDK itself talked to meanwhile.
    EXPECT_EQ(crumbUrls, (std::vector<std::string>{base + "200", base + "404", base + "500"}));
}

}  // namespace
}  // namespace skald::test
