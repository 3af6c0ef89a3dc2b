// Transactions end to end: the example program runs a transaction with nested
// spans and an error inside it, against the local receiver.
#include <gtest/gtest.h>

#include "e2e/example_fixture.h"

namespace skald::test {
namespace {

using TracingEndToEnd = ExampleEndToEnd;

TEST_F(TracingEndToEnd, TransactionArrivesAsATreeAndItsErrorSharesTheTrace) {
    ASSERT_EQ(runExample({"--transaction", "checkout"}), 0) << exampleLog();

    std::optional<Json> transaction;
    std::optional<Json> error;
    std::optional<TraceContext> transactionHeader;
    std::optional<TraceContext> errorHeader;
    for (const auto& envelope : receivedEnvelopes()) {
        for (auto& item : itemsOfType(*envelope, "transaction")) {
            transaction = item;
            transactionHeader = envelope->header()->traceContext();
        }
        for (auto& item : itemsOfType(*envelope, "event")) {
            error = item;
            errorHeader = envelope->header()->traceContext();
        }
    }
    ASSERT_TRUE(transaction) << exampleLog();
    ASSERT_TRUE(error) << exampleLog();

    const Json& trace = (*transaction)["contexts"]["trace"];
    EXPECT_EQ((*transaction)["transaction"], "checkout");
    EXPECT_EQ(trace["op"], "example.task");
    EXPECT_EQ(trace["status"], "ok");
    const Json& spans = (*transaction)["spans"];
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0]["op"], "task.load");
    EXPECT_EQ(spans[0]["parent_span_id"], trace["span_id"]);
    EXPECT_EQ(spans[1]["op"], "db.query");
    EXPECT_EQ(spans[1]["parent_span_id"], spans[0]["span_id"]);
    EXPECT_EQ(spans[2]["op"], "file.read");
    EXPECT_EQ(spans[2]["parent_span_id"], spans[1]["span_id"]);
    EXPECT_EQ(spans[0]["status"], "ok");
    EXPECT_EQ(spans[1]["status"], "ok");
    EXPECT_EQ(spans[2]["status"], "deadline_exceeded");
    const auto start = [](const Json& span) { return span["start_timestamp"].get<double>(); };
    const auto end = [](const Json& span) { return span["timestamp"].get<double>(); };
    EXPECT_LE(start(*transaction), start(spans[0]));
    EXPECT_LE(start(spans[0]), start(spans[1]));
    EXPECT_LE(start(spans[1]), start(spans[2]));
    EXPECT_LE(end(spans[1]), end(spans[0]));
    EXPECT_LE(end(spans[0]), end(*transaction));
    EXPECT_LE(end(spans[2]), end(*transaction));

    // The error carries the transaction's trace, and both envelopes its context.
    EXPECT_EQ((*error)["contexts"]["trace"]["trace_id"], trace["trace_id"]);
    EXPECT_EQ((*error)["transaction"], "checkout");
    ASSERT_TRUE(transactionHeader);
    ASSERT_TRUE(errorHeader);
    EXPECT_EQ(transactionHeader->traceId().skaldIdString(), trace["trace_id"]);
    EXPECT_EQ(transactionHeader->transaction(), "checkout");
    EXPECT_EQ(transactionHeader->sampled(), "true");
    EXPECT_EQ(transactionHeader->publicKey(), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(errorHeader->traceId(), transactionHeader->traceId());
}

TEST_F(TracingEndToEnd, AtSampleRateZeroNothingIsSentAndTheLossIsReported) {
    ASSERT_EQ(runExample(
                  {"--traces-sample-rate", "0", "--transaction", "checkout", "--message", "after"}),
              0)
        << exampleLog();
    uint64_t transactionsLost = 0;
    uint64_t spansLost = 0;
    for (const auto& envelope : receivedEnvelopes()) {
        EXPECT_TRUE(itemsOfType(*envelope, "transaction").empty());
        for (const auto& report : itemsOfType(*envelope, "client_report")) {
            for (const auto& entry : report["discarded_events"]) {
                if (entry["reason"] != "sample_rate") continue;
                if (entry["category"] == "transaction")
                    transactionsLost += entry["quantity"].get<uint64_t>();
                if (entry["category"] == "span") spansLost += entry["quantity"].get<uint64_t>();
            }
        }
    }
    EXPECT_EQ(transactionsLost, 1u) << exampleLog();
    EXPECT_EQ(spansLost, 4u) << "three spans and the transaction itself";
}

}  // namespace
}  // namespace skald::test
