// Spans of the object store inside a transaction bound to the scope: one
// "db.sql.query" per fetch, one "db.sql.transaction" per save with changes,
// and nothing without a transaction or without the integration.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "integrations/core_data_tracking_integration.h"
#include "object_store/store_test_support.h"
#include "sdk/sdk_fixture.h"
#include "skald/options.h"
#include "support/log_capture.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;
using Op = ComparisonOperator;

class ObjectStoreTrackingTest : public CurrentHubFixture {
  protected:
    void SetUp() override {
        CurrentHubFixture::SetUp();
        options->setTracesSampleRate(1.0);
        integration = std::make_shared<CoreDataTrackingIntegration>();
        ASSERT_TRUE(integration->installWithOptions(*options));
        coordinator = std::make_shared<StoreCoordinator>(
            Model({Entity("A", {{"name", AttributeType::String}}),
                   Entity("B", {{"name", AttributeType::String}})}));
        Error error;
        ASSERT_TRUE(coordinator->addPersistentStore("SQLite", fileUrl(path), &error))
            << error.description();
        context = std::make_unique<ObjectContext>(coordinator);
    }
    void TearDown() override {
        integration->uninstall();
        CurrentHubFixture::TearDown();
    }

    void insert(const std::string& entity, const std::string& name) {
        auto object = context->insert(entity);
        ASSERT_TRUE(object);
        object->set("name", name);
    }

    /// The spans of the one transaction sent, waiting briefly for it.
    Json spansOfTransaction() {
        const auto end = std::chrono::steady_clock::now() + 3s;
        do {
            for (const auto& envelope : transport->envelopes()) {
                Json item = itemJson(*envelope, "transaction");
                if (!item.is_null()) return item["spans"];
            }
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < end);
        ADD_FAILURE() << "no transaction was sent";
        return Json::array();
    }

    std::shared_ptr<Span> bindTransaction() {
        return hub->startTransaction("list", "ui.load", true);
    }

    TempDirectory directory;
    std::string path = directory.file("tracked.db");
    std::shared_ptr<CoreDataTrackingIntegration> integration;
    std::shared_ptr<StoreCoordinator> coordinator;
    std::unique_ptr<ObjectContext> context;
};

TEST_F(ObjectStoreTrackingTest, AFetchGivesOneQuerySpanWithItsCountAndStore) {
    insert("A", "one");
    insert("A", "two");
    insert("A", "three");
    ASSERT_TRUE(context->save());

    LogCapture log;
    auto transaction = bindTransaction();
    auto found = context->fetch(
        {"A", compare("name", Op::BeginsWith, std::string("t")), {{"name", false}}, {}});
    ASSERT_TRUE(found);
    EXPECT_EQ(names(*found), (std::vector<std::string>{"two", "three"}));
    transaction->finish();

    const Json spans = spansOfTransaction();
    ASSERT_EQ(spans.size(), 1u) << spans.dump();
    const Json& span = spans[0];
    EXPECT_EQ(span["op"], "db.sql.query");
    EXPECT_EQ(span["origin"], "auto.db.core_data");
    EXPECT_EQ(span["description"], "SELECT 'A' WHERE name BEGINSWITH %@ SORT BY name DESCENDING");
    EXPECT_EQ(span["status"], "ok");
    EXPECT_EQ(span["parent_span_id"], transaction->spanId().value());
    EXPECT_EQ(span["data"]["read_count"], 2);
    EXPECT_EQ(span["data"]["db.system"], "SQLite");
    EXPECT_EQ(span["data"]["db.name"], path);
    // The tests run on the main thread, whose stack is kept unfiltered.
    EXPECT_EQ(span["data"]["blocked_main_thread"], true);
    EXPECT_FALSE(span["data"]["call_stack"].empty());

    EXPECT_TRUE(log.contains(
        "SkaldCoreDataTracker automatically started a new span with description: SELECT 'A' "
        "WHERE name BEGINSWITH %@ SORT BY name DESCENDING, operation: db.sql.query"));
    EXPECT_TRUE(log.contains("SkaldCoreDataTracker automatically finished span with status: ok"));
}

TEST_F(ObjectStoreTrackingTest, AFailingFetchEndsItsSpanInAnErrorAndHandsTheErrorBack) {
    LogCapture log;
    auto transaction = bindTransaction();
    Error error;
    EXPECT_FALSE(
        context->fetch({"A", compare("name", Op::Matches, std::string(".*")), {}, {}}, &error));
    EXPECT_EQ(error.code, static_cast<int64_t>(store::StoreErrorCode::UnsupportedPredicate));
    transaction->finish();

    const Json spans = spansOfTransaction();
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0]["description"], "SELECT 'A' WHERE name MATCHES %@");
    EXPECT_EQ(spans[0]["status"], "internal_error");
    EXPECT_EQ(spans[0]["data"]["read_count"], 0);
    EXPECT_TRUE(
        log.contains("SkaldCoreDataTracker automatically finished span with status: error"));
}

TEST_F(ObjectStoreTrackingTest, ASaveGivesATransactionSpanWithItsOperations) {
    insert("B", "before");
    ASSERT_TRUE(context->save());
    auto stored = context->fetch({"B", {}, {}, {}});
    ASSERT_TRUE(stored && stored->size() == 1);

    auto transaction = bindTransaction();
    insert("A", "first");
    insert("A", "second");
    (*stored)[0]->set("name", std::string("after"));
    Error error;
    ASSERT_TRUE(context->save(&error)) << error.description();
    transaction->finish();

    const Json spans = spansOfTransaction();
    ASSERT_EQ(spans.size(), 1u) << spans.dump();
    const Json& save = spans[0];
    EXPECT_EQ(save["op"], "db.sql.transaction");
    EXPECT_EQ(save["origin"], "auto.db.core_data");
    EXPECT_EQ(save["description"], "INSERTED 2 'A', UPDATED 1 'B'");
    EXPECT_EQ(save["status"], "ok");
    EXPECT_EQ(save["data"]["operations"], Json::parse(R"({"INSERTED":{"A":2},"UPDATED":{"B":1}})"));
    EXPECT_EQ(save["data"]["db.system"], "SQLite");
    EXPECT_EQ(save["data"]["db.name"], path);
    EXPECT_EQ(save["data"]["blocked_main_thread"], true);
}

TEST_F(ObjectStoreTrackingTest, AFailedSaveEndsInAnErrorAndAnEmptyOneHasNoSpan) {
    auto transaction = bindTransaction();
    ASSERT_TRUE(context->save());  // nothing to save: no span
    auto orphan = std::make_shared<StoreCoordinator>(coordinator->model());
    ObjectContext storeless(orphan);
    storeless.insert("A");
    storeless.insert("B");
    storeless.insert("B");
    EXPECT_FALSE(storeless.save());
    transaction->finish();

    const Json spans = spansOfTransaction();
    ASSERT_EQ(spans.size(), 1u) << spans.dump();
    EXPECT_EQ(spans[0]["description"], "INSERTED 3 items");
    EXPECT_EQ(spans[0]["status"], "internal_error");
    EXPECT_EQ(spans[0]["data"]["db.system"], "");
    EXPECT_EQ(spans[0]["data"]["db.name"], "");
}

TEST_F(ObjectStoreTrackingTest, EveryStoreOfTheCoordinatorIsNamed) {
    ASSERT_TRUE(coordinator->addPersistentStore("InMemory", std::nullopt));
    auto transaction = bindTransaction();
    ASSERT_TRUE(context->fetch({"A", {}, {}, {}}));
    transaction->finish();
    const Json spans = spansOfTransaction();
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0]["data"]["db.system"], "SQLite;InMemory");
    EXPECT_EQ(spans[0]["data"]["db.name"], path + ";(null)");
}

TEST_F(ObjectStoreTrackingTest, WithoutABoundTransactionNothingIsTracked) {
    LogCapture log;
    insert("A", "x");
    ASSERT_TRUE(context->save());
    ASSERT_TRUE(context->fetch({"A", {}, {}, {}}));
    // A transaction that is not bound to the scope gets no children either.
    auto unbound = hub->startTransaction("elsewhere", "task", false);
    insert("A", "y");
    ASSERT_TRUE(context->save());
    unbound->finish();

    const Json spans = spansOfTransaction();
    EXPECT_TRUE(spans.empty()) << spans.dump();
    EXPECT_EQ(log.count("No transaction bound to scope."), 3u);
    EXPECT_FALSE(log.contains("SkaldCoreDataTracker automatically started"));
}

TEST_F(ObjectStoreTrackingTest, UninstalledTheStoreRunsUntouched) {
    integration->uninstall();
    auto transaction = bindTransaction();
    insert("A", "x");
    ASSERT_TRUE(context->save());
    auto found = context->fetch({"A", {}, {}, {}});
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), 1u);
    transaction->finish();
    EXPECT_TRUE(spansOfTransaction().empty());
}

TEST_F(ObjectStoreTrackingTest, InstallsOnlyWithTracingAndEveryOptionItNeeds) {
    EXPECT_EQ(std::string(CoreDataTrackingIntegration::kName), "SkaldCoreDataTrackingIntegration");
    EXPECT_EQ(integration->integrationName(), "SkaldCoreDataTrackingIntegration");
    const std::vector<std::pair<const char*, std::function<void(Options&)>>> switches = {
        {"enableAutoPerformanceTracing",
         [](Options& o) { o.enableAutoPerformanceTracing = false; }},
        {"enableCoreDataTracing", [](Options& o) { o.enableCoreDataTracing = false; }},
        {"enableSwizzling", [](Options& o) { o.enableSwizzling = false; }},
        {"isTracingEnabled", [](Options& o) { o.setTracesSampleRate(std::nullopt); }},
    };
    for (const auto& [what, turnOff] : switches) {
        Options refused = *options;
        turnOff(refused);
        CoreDataTrackingIntegration other;
        EXPECT_FALSE(other.installWithOptions(refused)) << what;
    }
    // A refused install leaves the installed one working.
    auto transaction = bindTransaction();
    ASSERT_TRUE(context->fetch({"A", {}, {}, {}}));
    transaction->finish();
    EXPECT_EQ(spansOfTransaction().size(), 1u);
}

}  // namespace
}  // namespace skald::test
