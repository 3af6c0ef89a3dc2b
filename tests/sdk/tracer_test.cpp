// Transactions from start to the envelope: the span tree, finishing rules,
// sampling and loss records, trace contexts, and the RAII guard.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>

#include "core/dependency_container.h"
#include "core/tracing/no_op_span.h"
#include "core/tracing/tracer.h"
#include "core/tracing/transaction.h"
#include "sdk/sdk_fixture.h"
#include "skald/scoped_span.h"
#include "support/test_current_date_provider.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;

class TracerTest : public CurrentHubFixture {
  protected:
    void SetUp() override {
        CurrentHubFixture::SetUp();
        DependencyContainer::sharedInstance()->setDateProvider(clock);
        options->setTracesSampleRate(1.0);
    }

    /// The transaction items sent so far, waiting briefly for the hub's queue.
    std::vector<Json> transactions(size_t atLeast = 1) {
        std::vector<Json> found;
        const auto end = std::chrono::steady_clock::now() + 3s;
        do {
            found.clear();
            for (const auto& envelope : transport->envelopes()) {
                Json item = itemJson(*envelope, "transaction");
                if (!item.is_null()) found.push_back(item);
            }
            if (found.size() >= atLeast) break;
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < end);
        return found;
    }

    bool hasLoss(DataCategory category, DiscardReason reason, uint64_t quantity) const {
        for (const auto& loss : transport->losses()) {
            if (loss.category == category && loss.reason == reason && loss.quantity == quantity)
                return true;
        }
        return false;
    }

    std::shared_ptr<Tracer> startTracer(TracerConfiguration configuration = {},
                                        SampleDecision sampled = SampleDecision::Undecided) {
        auto span = hub->startTransaction(TransactionContext("checkout", "ui.action", sampled),
                                          false, std::nullopt, configuration);
        return std::dynamic_pointer_cast<Tracer>(span);
    }

    std::shared_ptr<TestCurrentDateProvider> clock = std::make_shared<TestCurrentDateProvider>();
};

TEST_F(TracerTest, NestedSpansArriveAsATreeWithNestedTimesAndAnOpenOneDeadlineExceeded) {
    auto tracer = startTracer();
    ASSERT_TRUE(tracer);
    clock->advance(0.1);
    auto load = tracer->startChild("task.load", "catalogue");
    clock->advance(0.1);
    auto query = load->startChild("db.query", std::nullopt);
    clock->advance(0.1);
    auto read = query->startChild("file.read", "prices.json");
    clock->advance(0.1);
    query->finish();
    load->setTag("phase", "one");
    load->setData("rows", 12);
    load->finish(SpanStatus::NotFound);
    tracer->setMeasurement("items", 3, MeasurementUnit::none());
    tracer->setTag("screen", "cart");
    clock->advance(0.1);
    tracer->finish();

    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    const Json& transaction = sent[0];
    EXPECT_EQ(transaction["type"], "transaction");
    EXPECT_EQ(transaction["transaction"], "checkout");
    EXPECT_EQ(transaction["transaction_info"]["source"], "custom");
    const Json& trace = transaction["contexts"]["trace"];
    EXPECT_EQ(trace["op"], "ui.action");
    EXPECT_EQ(trace["status"], "ok");
    EXPECT_EQ(trace["sampled"], true);
    EXPECT_TRUE(transaction["contexts"]["profile"].is_object());
    EXPECT_EQ(transaction["measurements"]["items"]["value"], 3);
    EXPECT_EQ(transaction["tags"]["screen"], "cart");
    EXPECT_TRUE(transaction["extra"].contains("thread.id"));

    const Json& spans = transaction["spans"];
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0]["parent_span_id"], trace["span_id"]);
    EXPECT_EQ(spans[1]["parent_span_id"], spans[0]["span_id"]);
    EXPECT_EQ(spans[2]["parent_span_id"], spans[1]["span_id"]);
    for (const auto& span : spans) EXPECT_EQ(span["trace_id"], trace["trace_id"]);
    EXPECT_EQ(spans[0]["status"], "not_found");
    EXPECT_EQ(spans[0]["tags"]["phase"], "one");
    EXPECT_EQ(spans[0]["data"]["rows"], 12);
    EXPECT_EQ(spans[0]["data"]["thread.name"], "main");
    EXPECT_EQ(spans[1]["status"], "ok");
    EXPECT_EQ(spans[2]["status"], "deadline_exceeded") << "still open at finish";
    EXPECT_EQ(spans[2]["timestamp"], transaction["timestamp"]);

    // Each span lies inside its parent.
    const auto inside = [](const Json& child, const Json& parent) {
        return child["start_timestamp"].get<double>() >= parent["start_timestamp"].get<double>() &&
               child["timestamp"].get<double>() <= parent["timestamp"].get<double>();
    };
    EXPECT_TRUE(inside(spans[0], transaction));
    EXPECT_TRUE(inside(spans[1], spans[0]));
    EXPECT_TRUE(inside(spans[2], transaction));
    EXPECT_NEAR(
        transaction["timestamp"].get<double>() - transaction["start_timestamp"].get<double>(), 0.5,
        1e-6);
    EXPECT_TRUE(read->isFinished()) << "the open span was finished with the tracer";
}

TEST_F(TracerTest, ErrorInsideABoundTransactionSharesItsTraceAndTheEnvelopeCarriesTheContext) {
    options->releaseName = "shop@2.0";
    auto transaction = hub->startTransaction("checkout", "ui.action", true);
    hub->captureMessage("inside");
    auto error = std::make_shared<Event>(Level::Error);
    error->exceptions.push_back(std::make_shared<Exception>("boom", "Failure"));
    hub->captureEvent(error);
    transaction->finish();
    ASSERT_EQ(transactions().size(), 1u);
    EXPECT_EQ(scope->span(), nullptr) << "the finished transaction leaves the scope";

    const auto envelopes = transport->envelopes();
    ASSERT_EQ(envelopes.size(), 3u);
    const std::string traceId = transaction->traceId().skaldIdString();
    for (const auto& envelope : envelopes) {
        const auto& context = envelope->header()->traceContext();
        ASSERT_TRUE(context);
        EXPECT_EQ(context->traceId().skaldIdString(), traceId);
        EXPECT_EQ(context->transaction(), "checkout");
        EXPECT_EQ(context->sampled(), "true");
        EXPECT_EQ(context->sampleRate(), "1");
        EXPECT_EQ(context->releaseName(), "shop@2.0");
    }
    const Json event = itemJson(*envelopes[1], "event");
    EXPECT_EQ(event["contexts"]["trace"]["trace_id"], traceId);
    EXPECT_EQ(event["transaction"], "checkout");
}

TEST_F(TracerTest, UnsampledTransactionIsNotSentAndCountsItselfAndItsSpansAsLost) {
    options->setTracesSampleRate(0.0);
    random->value = 0.0;  // even the lowest draw does not sample at rate 0
    auto transaction = hub->startTransaction("checkout", "ui.action");
    EXPECT_EQ(transaction->sampled(), SampleDecision::No);
    transaction->startChild("a", std::nullopt)->finish();
    transaction->startChild("b", std::nullopt)->finish();
    transaction->finish();
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(transport->envelopes().empty());
    EXPECT_TRUE(hasLoss(DataCategory::Transaction, DiscardReason::SampleRate, 1));
    EXPECT_TRUE(hasLoss(DataCategory::Span, DiscardReason::SampleRate, 3));
}

TEST_F(TracerTest, SamplingRulesInTheirOrder) {
    std::atomic<int> asked{0};
    std::optional<double> answer;
    options->setTracesSampler([&](const SamplingContext& context) {
        ++asked;
        EXPECT_EQ(context.customSamplingContext().value_or(Json())["user"], "vip");
        return answer;
    });
    const Json custom = {{"user", "vip"}};
    random->value = 0.5;

    // A sampler answer outside [0, 1] samples nothing.
    answer = 1.5;
    EXPECT_EQ(hub->startTransaction(TransactionContext("a", "op"), false, custom)->sampled(),
              SampleDecision::No);
    // No answer: the upstream decision, then the rate.
    answer.reset();
    TransactionContext upstream("b", TransactionNameSource::Route, "op", "manual", Id(), SpanId(),
                                SpanId(), SampleDecision::Undecided, SampleDecision::Yes);
    options->setTracesSampleRate(0.0);
    EXPECT_EQ(hub->startTransaction(upstream, false, custom)->sampled(), SampleDecision::Yes);
    EXPECT_EQ(hub->startTransaction(TransactionContext("c", "op"), false, custom)->sampled(),
              SampleDecision::No);
    // An answer wins over the upstream decision.
    answer = 0.25;
    EXPECT_EQ(hub->startTransaction(upstream, false, custom)->sampled(), SampleDecision::No);
    EXPECT_EQ(asked, 4);
    // A decision of the context itself is never offered to the sampler.
    hub->startTransaction(TransactionContext("d", "op", SampleDecision::No), false, custom);
    EXPECT_EQ(asked, 4);

    // The rate that decided is kept for the trace context.
    answer = 0.75;
    auto sampled = std::dynamic_pointer_cast<Tracer>(
        hub->startTransaction(TransactionContext("e", "op"), false, custom));
    EXPECT_EQ(sampled->transactionContext().sampleRate(), 0.75);
    EXPECT_EQ(sampled->traceContext()->sampleRate(), "0.75");
}

TEST_F(TracerTest, NotSampledTraceContextSaysFalseInBaggageAndHeader) {
    auto tracer = startTracer({}, SampleDecision::No);
    const auto context = tracer->traceContext();
    ASSERT_TRUE(context);
    EXPECT_EQ(context->sampled(), "false");
    const auto baggage = BaggageSerialization::decode(*tracer->baggageHttpHeader());
    EXPECT_EQ(baggage.at("skald-sampled"), "false");
    EXPECT_EQ(baggage.at("skald-trace_id"), tracer->traceId().skaldIdString());
    EXPECT_EQ(baggage.at("skald-public_key"), "public");
    auto child = tracer->startChild("http.client", std::nullopt);
    const auto header = TraceHeader::parse(child->toTraceHeader().value());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->traceId(), tracer->traceId());
    EXPECT_EQ(header->spanId(), child->spanId());
    EXPECT_EQ(header->sampled(), SampleDecision::No);
}

TEST_F(TracerTest, WaitingForChildrenKeepsItOpenUntilTheLastOneEnds) {
    TracerConfiguration configuration;
    configuration.waitForChildren = true;
    auto tracer = startTracer(configuration);
    auto child = tracer->startChild("work", std::nullopt);
    tracer->finish(SpanStatus::Aborted);
    EXPECT_FALSE(tracer->isFinished());
    child->finish();
    EXPECT_TRUE(tracer->isFinished());
    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["contexts"]["trace"]["status"], "aborted");
}

TEST_F(TracerTest, IdleTimeoutWithoutChildrenSendsNothing) {
    TracerConfiguration configuration;
    configuration.idleTimeout = 0.05;
    auto tracer = startTracer(configuration);
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (!tracer->isFinished() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(tracer->isFinished());
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(transport->envelopes().empty());
}

TEST_F(TracerTest, IdleTimeoutFinishesAfterTheLastChildAndTrimsToIt) {
    TracerConfiguration configuration;
    configuration.idleTimeout = 0.2;
    auto tracer = startTracer(configuration);
    auto child = tracer->startChild("load", std::nullopt);
    clock->advance(1.0);
    child->finish();
    clock->advance(5.0);  // idle time is not the transaction's
    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["timestamp"], sent[0]["spans"][0]["timestamp"]);
}

TEST_F(TracerTest, AutoGeneratedTransactionsOfFiveHundredSecondsAreDropped) {
    TracerConfiguration configuration;
    configuration.waitForChildren = true;
    auto longOne = startTracer(configuration);
    clock->advance(500.0);
    longOne->finish();
    auto shorter = startTracer(configuration);
    clock->advance(499.9);
    shorter->finish();
    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["contexts"]["trace"]["span_id"], shorter->spanId().value());
}

TEST_F(TracerTest, DeadlineFinishesOpenChildrenAndTheTracerAsDeadlineExceeded) {
    TracerConfiguration configuration;
    configuration.waitForChildren = true;
    auto tracer = startTracer(configuration);
    auto open = tracer->startChild("open", std::nullopt);
    auto done = tracer->startChild("done", std::nullopt);
    done->finish();
    tracer->deadlineTimerFired();
    EXPECT_EQ(open->status(), SpanStatus::DeadlineExceeded);
    EXPECT_EQ(done->status(), SpanStatus::Ok);
    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["contexts"]["trace"]["status"], "deadline_exceeded");
}

TEST_F(TracerTest, ChildrenOfAFinishedTracerAndBeyondTheLimitAreNoOps) {
    auto tracer = startTracer();
    for (size_t i = 0; i < Tracer::kMaxChildren; ++i)
        tracer->startChild("s", std::nullopt)->finish();
    auto beyond = tracer->startChild("beyond", std::nullopt);
    EXPECT_EQ(beyond, NoOpSpan::shared());
    beyond->finish();
    tracer->finish();
    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["spans"].size(), Tracer::kMaxChildren);
    EXPECT_TRUE(hasLoss(DataCategory::Span, DiscardReason::QueueOverflow, 1));
    EXPECT_EQ(tracer->startChild("late", std::nullopt), NoOpSpan::shared());
}

TEST_F(TracerTest, BeforeSendSpanDropsSpansAndCountsThem) {
    options->beforeSendSpan = [](std::shared_ptr<Span> span) {
        return span->operation() == "drop" ? nullptr : span;
    };
    auto tracer = startTracer();
    tracer->startChild("keep", std::nullopt)->finish();
    tracer->startChild("drop", std::nullopt)->finish();
    tracer->startChild("drop", std::nullopt)->finish();
    tracer->finish();
    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0]["spans"].size(), 1u);
    EXPECT_EQ(sent[0]["spans"][0]["op"], "keep");
    EXPECT_TRUE(hasLoss(DataCategory::Span, DiscardReason::BeforeSend, 2));
}

TEST_F(TracerTest, SpansStartedFromManyThreadsAreAllRecorded) {
    auto tracer = startTracer();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                auto span = tracer->startChild("parallel", std::nullopt);
                span->startChild("inner", std::nullopt)->finish();
                span->finish();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    tracer->finish();
    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    std::set<std::string> ids;
    for (const auto& span : sent[0]["spans"]) ids.insert(span["span_id"].get<std::string>());
    EXPECT_EQ(ids.size(), 800u);
}

TEST_F(TracerTest, ScopedSpanFinishesAtTheEndOfItsScopeAndOnExceptionsAsInternalError) {
    std::shared_ptr<Span> plain;
    std::shared_ptr<Span> failed;
    std::shared_ptr<Span> kept;
    {
        ScopedSpan transaction(hub->startTransaction("guarded", "task"));
        {
            auto child = transaction.startChild("step", "one");
            plain = child.get();
        }
        EXPECT_TRUE(plain->isFinished());
        EXPECT_EQ(plain->status(), SpanStatus::Ok);
        try {
            auto child = transaction.startChild("step", "two");
            failed = child.get();
            throw std::runtime_error("step two failed");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(failed->status(), SpanStatus::InternalError);
        auto moved = transaction.startChild("step", "three");
        moved.setStatus(SpanStatus::Cancelled);
        ScopedSpan target = std::move(moved);
        EXPECT_FALSE(moved);
        kept = target.release();
    }
    // Not finished by its guard (it was released) but by the transaction,
    // which ends what is still open.
    EXPECT_EQ(kept->status(), SpanStatus::DeadlineExceeded);
    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["contexts"]["trace"]["status"], "ok");
    EXPECT_EQ(sent[0]["spans"].size(), 3u);
    // A guard of nothing does nothing.
    ScopedSpan empty;
    empty.startChild("x").finish();
}

TEST_F(TracerTest, FullyDisplayedMeasuresFromTheBoundTransactionsStart) {
    SDK::reportFullyDisplayed();  // nothing bound: nothing happens
    auto transaction = hub->startTransaction("screen", "ui.load", true);
    clock->advance(0.25);
    SDK::reportFullyDisplayed();
    transaction->finish();
    const auto sent = transactions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NEAR(sent[0]["measurements"]["time_to_full_display"]["value"].get<double>(), 250, 1e-3);
    EXPECT_EQ(sent[0]["measurements"]["time_to_full_display"]["unit"], "millisecond");
    ASSERT_EQ(sent[0]["spans"].size(), 1u);
    EXPECT_EQ(sent[0]["spans"][0]["op"], "ui.load.full_display");
    EXPECT_EQ(sent[0]["spans"][0]["start_timestamp"], sent[0]["start_timestamp"]);
}

TEST(SpanJson, StatusAndNameSourceNames) {
    EXPECT_STREQ(nameForSpanStatus(SpanStatus::DataLoss), "data_loss");
    EXPECT_STREQ(nameForSpanStatus(static_cast<SpanStatus>(18)), "undefined");
    EXPECT_STREQ(nameForTransactionNameSource(static_cast<TransactionNameSource>(0)), "custom");
    EXPECT_STREQ(nameForTransactionNameSource(static_cast<TransactionNameSource>(6)), "custom");
    EXPECT_STREQ(nameForTransactionNameSource(TransactionNameSource::Task), "task");

    SpanContext context(Id(), SpanId(), std::nullopt, "op", SampleDecision::Undecided);
    const Json json = context.serialize();
    EXPECT_FALSE(json.contains("sampled"));
    EXPECT_FALSE(json.contains("parent_span_id"));
    EXPECT_EQ(json["origin"], "manual");
    EXPECT_EQ(json["type"], "trace");
}

TEST_F(TracerTest, FlushWaitsForTransactionsStillOnTheHubsQueue) {
    // A host that finishes a transaction and flushes at once must not lose it.
    hub->dispatchQueue()->dispatchAsync([] { std::this_thread::sleep_for(200ms); });
    auto tracer = startTracer();
    tracer->finish();
    EXPECT_EQ(hub->flush(5), FlushResult::Success);
    size_t sent = 0;
    for (const auto& envelope : transport->envelopes()) {
        sent += itemJson(*envelope, "transaction").is_null() ? 0 : 1;
    }
    EXPECT_EQ(sent, 1U);

    hub->dispatchQueue()->dispatchAsync([] { std::this_thread::sleep_for(300ms); });
    EXPECT_EQ(hub->flush(0.05), FlushResult::TimedOut) << "the queue did not drain in time";
}

}  // namespace
}  // namespace skald::test
