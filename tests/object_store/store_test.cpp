// The object store on its own: saving and fetching every attribute type,
// each operator SQLite evaluates, order and limits, change tracking, failed
// saves that roll back, and stores and requests it refuses.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>

#include "object_store/store_test_support.h"
#include "support/hostile_files.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;
using store::StoreErrorCode;

class ObjectStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { coordinator = openCoordinator(); }

    std::shared_ptr<StoreCoordinator> openCoordinator(Model model = peopleModel()) {
        auto opened = std::make_shared<StoreCoordinator>(std::move(model));
        Error error;
        EXPECT_TRUE(opened->addPersistentStore("SQLite", fileUrl(path), &error))
            << error.description();
        return opened;
    }

    std::shared_ptr<ManagedObject> person(ObjectContext& context, const std::string& name,
                                          Value age, Value score = {}, Value active = {}) {
        auto object = context.insert("Person");
        EXPECT_TRUE(object);
        EXPECT_TRUE(object->set("name", name));
        EXPECT_TRUE(object->set("age", std::move(age)));
        EXPECT_TRUE(object->set("score", std::move(score)));
        EXPECT_TRUE(object->set("active", std::move(active)));
        return object;
    }

    /// Ann 30, Bob 25, Cid 40, "Al*ce" 35, Dee without an age.
    void seedPeople() {
        ObjectContext context(coordinator);
        person(context, "Ann", int64_t{30}, 1.5, true);
        person(context, "Bob", int64_t{25}, 2.5, false);
        person(context, "Cid", int64_t{40}, 3.5, true);
        person(context, "Al*ce", int64_t{35}, 4.5, false);
        person(context, "Dee", {}, {}, {});
        Error error;
        ASSERT_TRUE(context.save(&error)) << error.description();
    }

    std::vector<std::string> fetchNames(const Predicate& predicate) {
        ObjectContext context(coordinator);
        Error error;
        auto found = context.fetch({"Person", predicate, {}, {}}, &error);
        EXPECT_TRUE(found) << error.description();
        return found ? sorted(names(*found)) : std::vector<std::string>{"<failed>"};
    }

    /// Rows of Person as seen by a connection of its own.
    int64_t rowCount() {
        ObjectContext context(openCoordinator());
        auto all = context.fetch({"Person", {}, {}, {}});
        return all ? static_cast<int64_t>(all->size()) : -1;
    }

    /// Runs `sql` on the store file through a connection of its own.
    void runSql(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
            << (message ? message : "");
        sqlite3_free(message);
        sqlite3_close(db);
    }

    TempDirectory directory;
    std::string path = directory.file("objects.db");
    std::shared_ptr<StoreCoordinator> coordinator;
};

TEST_F(ObjectStoreTest, SavedObjectsComeBackWithEveryTypeAndTheirRowIds) {
    ObjectContext context(coordinator);
    EXPECT_FALSE(context.hasChanges());
    // Text is kept byte for byte: invalid UTF-8 and a NUL inside.
    constexpr char kOdd[] = "bad \xff\xfe utf8 \0 inside";
    const std::string odd(kOdd, sizeof kOdd - 1);
    auto first = person(context, odd, int64_t{-9'000'000'000'000}, 0.25, true);
    auto second = person(context, "second", {}, {}, false);
    EXPECT_TRUE(context.hasChanges());
    EXPECT_EQ(context.insertedObjects().size(), 2u);
    EXPECT_TRUE(first->isInserted());
    EXPECT_FALSE(first->objectId());

    Error error;
    ASSERT_TRUE(context.save(&error)) << error.description();
    EXPECT_FALSE(context.hasChanges());
    EXPECT_TRUE(context.insertedObjects().empty());
    EXPECT_FALSE(first->isInserted());
    ASSERT_TRUE(first->objectId());
    ASSERT_TRUE(second->objectId());
    EXPECT_NE(*first->objectId(), *second->objectId());

    // Through another coordinator on the same file.
    ObjectContext reader(openCoordinator());
    auto found = reader.fetch({"Person", {}, {}, {}}, &error);
    ASSERT_TRUE(found) << error.description();
    ASSERT_EQ(found->size(), 2u);
    const auto& back = (*found)[0];
    EXPECT_EQ(back->objectId(), first->objectId());
    EXPECT_EQ(back->get("name"), Value(odd));
    EXPECT_EQ(back->get("age"), Value(int64_t{-9'000'000'000'000}));
    EXPECT_EQ(back->get("score"), Value(0.25));
    EXPECT_EQ(back->get("active"), Value(true));
    EXPECT_EQ((*found)[1]->get("age"), Value());
    EXPECT_EQ((*found)[1]->get("active"), Value(false));
    EXPECT_FALSE(back->isInserted() || back->isUpdated() || back->isDeleted());
    EXPECT_FALSE(reader.hasChanges());
}

TEST_F(ObjectStoreTest, EachOperatorSQLiteEvaluatesSelectsTheRightObjects) {
    seedPeople();
    using Op = ComparisonOperator;
    using Names = std::vector<std::string>;
    struct Case {
        const char* what;
        Predicate predicate;
        Names expected;
    };
    const std::vector<Case> cases = {
        {"<", compare("age", Op::LessThan, int64_t{30}), {"Bob"}},
        {"<=", compare("age", Op::LessThanOrEqualTo, int64_t{30}), {"Ann", "Bob"}},
        {">", compare("age", Op::GreaterThan, int64_t{30}), {"Al*ce", "Cid"}},
        {">=", compare("age", Op::GreaterThanOrEqualTo, int64_t{35}), {"Al*ce", "Cid"}},
        {"== text", compare("name", Op::EqualTo, std::string("Bob")), {"Bob"}},
        {"== double", compare("score", Op::EqualTo, 3.5), {"Cid"}},
        {"== bool", compare("active", Op::EqualTo, true), {"Ann", "Cid"}},
        {"== no value", compare("age", Op::EqualTo, Value()), {"Dee"}},
        {"!= keeps no value",
         compare("age", Op::NotEqualTo, int64_t{30}),
         {"Al*ce", "Bob", "Cid", "Dee"}},
        {"LIKE wildcards", compare("name", Op::Like, std::string("?i*")), {"Cid"}},
        {"LIKE is case-sensitive", compare("name", Op::Like, std::string("ann")), {}},
        {"BEGINSWITH", compare("name", Op::BeginsWith, std::string("A")), {"Al*ce", "Ann"}},
        {"BEGINSWITH literal star", compare("name", Op::BeginsWith, std::string("Al*")), {"Al*ce"}},
        {"ENDSWITH", compare("name", Op::EndsWith, std::string("b")), {"Bob"}},
        {"CONTAINS literal star", compare("name", Op::Contains, std::string("*")), {"Al*ce"}},
        {"CONTAINS literal question mark", compare("name", Op::Contains, std::string("?")), {}},
        {"CONTAINS", compare("name", Op::Contains, std::string("e")), {"Al*ce", "Dee"}},
        {"IN",
         Predicate::comparison(Expression::keyPath("age"), Op::In,
                               constants({int64_t{25}, int64_t{40}, int64_t{99}})),
         {"Bob", "Cid"}},
        {"IN nothing",
         Predicate::comparison(Expression::keyPath("age"), Op::In, constants({})),
         {}},
        {"BETWEEN",
         Predicate::comparison(Expression::keyPath("age"), Op::Between,
                               constants({int64_t{25}, int64_t{30}})),
         {"Ann", "Bob"}},
        {"AND",
         Predicate::andPredicate(
             {compare("active", Op::EqualTo, true), compare("age", Op::GreaterThan, int64_t{30})}),
         {"Cid"}},
        {"OR",
         Predicate::orPredicate({compare("name", Op::EqualTo, std::string("Ann")),
                                 compare("age", Op::EqualTo, Value())}),
         {"Ann", "Dee"}},
        {"NOT",
         Predicate::notPredicate(compare("name", Op::BeginsWith, std::string("A"))),
         {"Bob", "Cid", "Dee"}},
        {"TERNARY",
         Predicate::comparison(Expression::conditional(compare("active", Op::EqualTo, true),
                                                       Expression::keyPath("name"),
                                                       Expression::constant(std::string("-"))),
                               Op::EqualTo, Expression::constant(std::string("Cid"))),
         {"Cid"}},
        {"always true", Predicate::constant(true), {"Al*ce", "Ann", "Bob", "Cid", "Dee"}},
        {"always false", Predicate::constant(false), {}},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(fetchNames(test.predicate), sorted(test.expected)) << test.what;
    }
}

TEST_F(ObjectStoreTest, SortDescriptorsOrderAndTheLimitCuts) {
    seedPeople();
    ObjectContext context(coordinator);
    auto byAge = context.fetch({"Person", {}, {{"age", false}, {"name", true}}, {}});
    ASSERT_TRUE(byAge);
    // No value sorts first ascending, so last descending.
    EXPECT_EQ(names(*byAge), (std::vector<std::string>{"Cid", "Al*ce", "Ann", "Bob", "Dee"}));
    auto firstTwo = context.fetch({"Person", {}, {{"name", true}}, 2});
    ASSERT_TRUE(firstTwo);
    EXPECT_EQ(names(*firstTwo), (std::vector<std::string>{"Al*ce", "Ann"}));
    auto none = context.fetch({"Person", {}, {}, 0});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    // A request without sort descriptors comes back in row order.
    auto rows = context.fetch({"Person", {}, {}, {}});
    ASSERT_TRUE(rows);
    EXPECT_EQ(names(*rows), (std::vector<std::string>{"Ann", "Bob", "Cid", "Al*ce", "Dee"}));
}

TEST_F(ObjectStoreTest, ChangesToFetchedObjectsAreTrackedKeptAcrossFetchesAndSaved) {
    seedPeople();
    ObjectContext context(coordinator);
    auto found = context.fetch(
        {"Person", compare("name", ComparisonOperator::EqualTo, std::string("Bob")), {}, {}});
    ASSERT_TRUE(found);
    ASSERT_EQ(found->size(), 1u);
    auto bob = (*found)[0];

    // Refused changes change nothing and mark nothing.
    EXPECT_FALSE(bob->set("age", std::string("old")));
    EXPECT_FALSE(bob->set("height", int64_t{180}));
    EXPECT_FALSE(context.hasChanges());

    EXPECT_TRUE(bob->set("age", int64_t{26}));
    EXPECT_TRUE(bob->set("score", 9.0));
    EXPECT_TRUE(context.hasChanges());
    ASSERT_EQ(context.updatedObjects().size(), 1u);
    EXPECT_EQ(context.updatedObjects()[0], bob);

    // The same row again is the same object, with the change not yet saved.
    auto again = context.fetch({"Person", {}, {{"name", true}}, {}});
    ASSERT_TRUE(again);
    EXPECT_EQ((*again)[2], bob);
    EXPECT_EQ(bob->get("age"), Value(int64_t{26}));
    EXPECT_EQ(rowCount(), 5);

    Error error;
    ASSERT_TRUE(context.save(&error)) << error.description();
    EXPECT_FALSE(context.hasChanges());
    EXPECT_FALSE(bob->isUpdated());
    ObjectContext reader(openCoordinator());
    auto saved =
        reader.fetch({"Person", compare("age", ComparisonOperator::EqualTo, int64_t{26}), {}, {}});
    ASSERT_TRUE(saved);
    ASSERT_EQ(names(*saved), std::vector<std::string>{"Bob"});
    EXPECT_EQ((*saved)[0]->get("score"), Value(9.0));
}

TEST_F(ObjectStoreTest, DeletedObjectsLeaveFetchesAtOnceAndTheStoreOnSave) {
    seedPeople();
    ObjectContext context(coordinator);
    auto all = context.fetch({"Person", {}, {{"name", true}}, {}});
    ASSERT_TRUE(all);
    auto alice = (*all)[0];
    context.deleteObject(alice);
    context.deleteObject(alice);
    EXPECT_TRUE(alice->isDeleted());
    EXPECT_EQ(context.deletedObjects().size(), 1u);
    EXPECT_FALSE(alice->set("name", std::string("back")));

    // Left out before the save, and the limit still fills up.
    auto firstTwo = context.fetch({"Person", {}, {{"name", true}}, 2});
    ASSERT_TRUE(firstTwo);
    EXPECT_EQ(names(*firstTwo), (std::vector<std::string>{"Ann", "Bob"}));

    // An object never saved just goes; one of another context is left alone.
    auto draft = person(context, "Draft", int64_t{1});
    context.deleteObject(draft);
    EXPECT_TRUE(context.insertedObjects().empty());
    EXPECT_EQ(context.deletedObjects().size(), 1u);
    ObjectContext other(coordinator);
    auto foreign = other.fetch({"Person", {}, {}, 1});
    ASSERT_TRUE(foreign);
    context.deleteObject((*foreign)[0]);
    context.deleteObject(nullptr);
    EXPECT_EQ(context.deletedObjects().size(), 1u);

    // A change followed by a delete is only a delete.
    auto ann = (*firstTwo)[0];
    ann->set("age", int64_t{31});
    context.deleteObject(ann);
    EXPECT_TRUE(context.updatedObjects().empty());
    EXPECT_EQ(context.deletedObjects().size(), 2u);

    Error error;
    ASSERT_TRUE(context.save(&error)) << error.description();
    EXPECT_FALSE(context.hasChanges());
    EXPECT_EQ(rowCount(), 3);
}

TEST_F(ObjectStoreTest, ObjectsOfDifferentEntitiesWithTheSameRowIdStayApart) {
    ObjectContext context(coordinator);
    person(context, "Ann", int64_t{30});
    context.insert("Pet")->set("name", std::string("Rex"));
    ASSERT_TRUE(context.save());
    auto people = context.fetch({"Person", {}, {}, {}});
    auto pets = context.fetch({"Pet", {}, {}, {}});
    ASSERT_TRUE(people && pets && people->size() == 1 && pets->size() == 1);
    ASSERT_EQ((*people)[0]->objectId(), (*pets)[0]->objectId());

    context.deleteObject((*pets)[0]);
    auto again = context.fetch({"Person", {}, {}, {}});
    ASSERT_TRUE(again);
    EXPECT_EQ(names(*again), std::vector<std::string>{"Ann"});
    EXPECT_EQ((*again)[0], (*people)[0]);
    ASSERT_TRUE(context.save());
    auto left = context.fetch({"Pet", {}, {}, {}});
    ASSERT_TRUE(left);
    EXPECT_TRUE(left->empty());
    EXPECT_EQ(rowCount(), 1);
}

TEST_F(ObjectStoreTest, AFailedSaveWritesNothingAndKeepsEveryChangePending) {
    seedPeople();
    // The store refuses one of the rows halfway through the save.
    runSql(
        "CREATE TRIGGER refuse BEFORE INSERT ON Person WHEN NEW.name = 'refused' "
        "BEGIN SELECT RAISE(ABORT, 'refused by trigger'); END;");
    ObjectContext context(coordinator);
    auto all = context.fetch({"Person", {}, {{"name", true}}, {}});
    ASSERT_TRUE(all);
    (*all)[1]->set("age", int64_t{77});
    context.deleteObject((*all)[2]);
    auto kept = person(context, "accepted", int64_t{1});
    person(context, "refused", int64_t{2});

    Error error;
    EXPECT_FALSE(context.save(&error));
    EXPECT_EQ(error.domain, store::kObjectStoreErrorDomain);
    EXPECT_EQ(error.code, static_cast<int64_t>(StoreErrorCode::StatementFailed));
    EXPECT_NE(error.localizedDescription.find("refused by trigger"), std::string::npos)
        << error.localizedDescription;

    // Nothing reached the file: no new rows, no change, no delete.
    ObjectContext reader(openCoordinator());
    auto stored = reader.fetch({"Person", {}, {{"name", true}}, {}});
    ASSERT_TRUE(stored);
    EXPECT_EQ(names(*stored), (std::vector<std::string>{"Al*ce", "Ann", "Bob", "Cid", "Dee"}));
    EXPECT_EQ((*stored)[1]->get("age"), Value(int64_t{30}));
    EXPECT_FALSE(kept->objectId());
    EXPECT_EQ(context.insertedObjects().size(), 2u);
    EXPECT_EQ(context.updatedObjects().size(), 1u);
    EXPECT_EQ(context.deletedObjects().size(), 1u);

    // Once the store accepts, the same save goes through whole.
    runSql("DROP TRIGGER refuse");
    ASSERT_TRUE(context.save(&error)) << error.description();
    EXPECT_TRUE(kept->objectId());
    EXPECT_EQ(rowCount(), 6);
}

TEST_F(ObjectStoreTest, ChangingARowDeletedElsewhereIsAConflictAndRollsBack) {
    seedPeople();
    ObjectContext first(coordinator);
    ObjectContext second(coordinator);
    const auto bob = compare("name", ComparisonOperator::EqualTo, std::string("Bob"));
    auto mine = first.fetch({"Person", bob, {}, {}});
    auto theirs = second.fetch({"Person", bob, {}, {}});
    ASSERT_TRUE(mine && theirs && mine->size() == 1 && theirs->size() == 1);
    second.deleteObject((*theirs)[0]);
    ASSERT_TRUE(second.save());

    person(first, "new", int64_t{5});
    (*mine)[0]->set("age", int64_t{50});
    Error error;
    EXPECT_FALSE(first.save(&error));
    EXPECT_EQ(error.code, static_cast<int64_t>(StoreErrorCode::Conflict));
    EXPECT_EQ(rowCount(), 4);
}

TEST_F(ObjectStoreTest, AStoreLockedByAnotherProgramFailsTheSaveSoonInsteadOfWaiting) {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    ObjectContext context(coordinator);
    person(context, "waiting", int64_t{1});
    Error error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(context.save(&error));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(error.code, static_cast<int64_t>(StoreErrorCode::StatementFailed));
    EXPECT_EQ(error.userInfo.value("sqlite_code", 0) & 0xff, SQLITE_BUSY);

    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_TRUE(context.save(&error)) << error.description();
}

TEST_F(ObjectStoreTest, SqlInTextStaysText) {
    const std::string attack = "x'); DROP TABLE Person; --";
    ObjectContext context(coordinator);
    person(context, attack, int64_t{1});
    person(context, "plain", int64_t{2});
    ASSERT_TRUE(context.save());

    EXPECT_EQ(fetchNames(compare("name", ComparisonOperator::EqualTo, attack)),
              std::vector<std::string>{attack});
    EXPECT_TRUE(fetchNames(compare("name", ComparisonOperator::EqualTo, std::string("' OR 1=1 --")))
                    .empty());
    EXPECT_TRUE(fetchNames(compare("name", ComparisonOperator::Like, std::string("\" OR \"\"=\"")))
                    .empty());
    EXPECT_EQ(rowCount(), 2);
}

TEST_F(ObjectStoreTest, RequestsTheStoreCannotRunGiveErrorsNotResults) {
    seedPeople();
    using Op = ComparisonOperator;
    struct Case {
        const char* what;
        FetchRequest request;
        StoreErrorCode code;
    };
    const auto age = Expression::keyPath("age");
    const std::vector<Case> cases = {
        {"MATCHES",
         {"Person", compare("name", Op::Matches, std::string("A.*")), {}, {}},
         StoreErrorCode::UnsupportedPredicate},
        {"custom operator",
         {"Person", compare("name", static_cast<Op>(200), std::string("A")), {}, {}},
         StoreErrorCode::UnsupportedPredicate},
        {"CONTAINS a number",
         {"Person", compare("name", Op::Contains, int64_t{1}), {}, {}},
         StoreErrorCode::UnsupportedPredicate},
        {"IN one value",
         {"Person", compare("age", Op::In, int64_t{1}), {}, {}},
         StoreErrorCode::UnsupportedPredicate},
        {"BETWEEN three bounds",
         {"Person", Predicate::comparison(age, Op::Between, constants({1L, 2L, 3L})), {}, {}},
         StoreErrorCode::UnsupportedPredicate},
        {"a list compared with <",
         {"Person", Predicate::comparison(age, Op::LessThan, constants({1L})), {}, {}},
         StoreErrorCode::UnsupportedPredicate},
        {"unknown key",
         {"Person", compare("height", Op::EqualTo, 1L), {}, {}},
         StoreErrorCode::UnknownKey},
        {"key path to another object",
         {"Person", compare("pet.name", Op::EqualTo, 1L), {}, {}},
         StoreErrorCode::UnknownKey},
        {"unknown sort key", {"Person", {}, {{"height", true}}, {}}, StoreErrorCode::UnknownKey},
        {"unknown entity", {"Plant", {}, {}, {}}, StoreErrorCode::UnknownEntity},
    };
    ObjectContext context(coordinator);
    for (const auto& test : cases) {
        Error error;
        EXPECT_FALSE(context.fetch(test.request, &error)) << test.what;
        EXPECT_EQ(error.domain, store::kObjectStoreErrorDomain) << test.what;
        EXPECT_EQ(error.code, static_cast<int64_t>(test.code)) << test.what;
        // Without a place for the error, the answer is the same.
        EXPECT_FALSE(context.fetch(test.request)) << test.what;
    }

    // A predicate nested beyond reason is refused, not a crash.
    Predicate deep = compare("age", Op::EqualTo, 1L);
    for (int i = 0; i < 1000; ++i) deep = Predicate::notPredicate(std::move(deep));
    Error error;
    EXPECT_FALSE(context.fetch({"Person", deep, {}, {}}, &error));
    EXPECT_EQ(error.code, static_cast<int64_t>(StoreErrorCode::UnsupportedPredicate));
}

TEST_F(ObjectStoreTest, StoresAndModelsThatCannotWorkAreRefused) {
    struct Case {
        const char* what;
        Model model;
        std::string type;
        std::optional<std::string> url;
        StoreErrorCode code;
    };
    const std::string url = fileUrl(directory.file("other.db"));
    const std::vector<Case> cases = {
        {"space in an entity name", Model({Entity("Bad Name", {})}), "SQLite", url,
         StoreErrorCode::InvalidModel},
        {"quote in an attribute name", Model({Entity("Good", {{"a\"b", AttributeType::String}})}),
         "SQLite", url, StoreErrorCode::InvalidModel},
        {"SQLite's own prefix", Model({Entity("sqlite_master", {})}), "SQLite", url,
         StoreErrorCode::InvalidModel},
        {"same entity twice", Model({Entity("Thing", {}), Entity("THING", {})}), "SQLite", url,
         StoreErrorCode::InvalidModel},
        {"same attribute twice",
         Model({Entity("Thing", {{"a", AttributeType::String}, {"A", AttributeType::Integer}})}),
         "SQLite", url, StoreErrorCode::InvalidModel},
        {"unknown type", peopleModel(), "Binary", url, StoreErrorCode::InvalidStore},
        {"no URL", peopleModel(), "SQLite", std::nullopt, StoreErrorCode::InvalidStore},
        {"web URL", peopleModel(), "SQLite", "https://example.com/a.db",
         StoreErrorCode::InvalidStore},
        {"relative path", peopleModel(), "SQLite", "file:objects.db", StoreErrorCode::InvalidStore},
        {"folder", peopleModel(), "SQLite", fileUrl(directory.path() + "/"),
         StoreErrorCode::InvalidStore},
        {"missing folder", peopleModel(), "SQLite", fileUrl(directory.file("no/such/x.db")),
         StoreErrorCode::OpenFailed},
    };
    for (const auto& test : cases) {
        StoreCoordinator refusing(test.model);
        Error error;
        EXPECT_FALSE(refusing.addPersistentStore(test.type, test.url, &error)) << test.what;
        EXPECT_EQ(error.code, static_cast<int64_t>(test.code))
            << test.what << ": " << error.description();
        EXPECT_TRUE(refusing.persistentStores().empty()) << test.what;
    }
    EXPECT_FALSE(std::filesystem::exists(directory.file("other.db")));
}

TEST_F(ObjectStoreTest, ATableOfTheModelGainsNewAttributesAndAForeignTableIsRefused) {
    seedPeople();
    Model grown({Entity("Person", {{"name", AttributeType::String},
                                   {"age", AttributeType::Integer},
                                   {"score", AttributeType::Double},
                                   {"active", AttributeType::Boolean},
                                   {"nickname", AttributeType::String}})});
    ObjectContext context(openCoordinator(std::move(grown)));
    auto found = context.fetch({"Person", {}, {}, 1});
    ASSERT_TRUE(found && found->size() == 1);
    EXPECT_EQ((*found)[0]->get("nickname"), Value());
    ASSERT_TRUE((*found)[0]->set("nickname", std::string("A")));
    ASSERT_TRUE(context.save());

    runSql("CREATE TABLE Plant (name TEXT)");
    StoreCoordinator foreign(Model({Entity("Plant", {{"name", AttributeType::String}})}));
    Error error;
    EXPECT_FALSE(foreign.addPersistentStore("SQLite", fileUrl(path), &error));
    EXPECT_EQ(error.code, static_cast<int64_t>(StoreErrorCode::NotADatabase));
}

TEST_F(ObjectStoreTest, SeveralStoresEachKeepTheirObjectsAndFetchesMergeThem) {
    auto memory = coordinator->addPersistentStore("InMemory", std::nullopt);
    ASSERT_TRUE(memory);
    const auto stores = coordinator->persistentStores();
    ASSERT_EQ(stores.size(), 2u);
    EXPECT_EQ(stores[0]->type, "SQLite");
    EXPECT_EQ(stores[0]->url, fileUrl(path));
    EXPECT_EQ(stores[1]->type, "InMemory");
    EXPECT_FALSE(stores[1]->url);

    ObjectContext context(coordinator);
    for (auto [name, age] : {std::pair{"disk-1", 10L}, {"disk-3", 30L}}) {
        context.insert("Person")->set("name", std::string(name));
        context.insertedObjects().back()->set("age", int64_t{age});
    }
    for (auto [name, age] : {std::pair{"memory-2", 20L}, {"memory-4", 40L}}) {
        auto object = context.insert("Person", memory);
        object->set("name", std::string(name));
        object->set("age", int64_t{age});
    }
    // A store of another coordinator is not one to insert into.
    StoreCoordinator other(peopleModel());
    auto elsewhere = other.addPersistentStore("InMemory", std::nullopt);
    EXPECT_FALSE(context.insert("Person", elsewhere));
    EXPECT_FALSE(context.insert("Plant"));

    Error error;
    ASSERT_TRUE(context.save(&error)) << error.description();
    auto merged = context.fetch({"Person", {}, {{"age", false}}, 3});
    ASSERT_TRUE(merged);
    EXPECT_EQ(names(*merged), (std::vector<std::string>{"memory-4", "disk-3", "memory-2"}));
    // Only the file store's rows are in the file.
    EXPECT_EQ(rowCount(), 2);
}

TEST_F(ObjectStoreTest, AContextWithoutStoresFailsToSaveButDoesNotCrash) {
    ObjectContext context(std::make_shared<StoreCoordinator>(peopleModel()));
    auto object = context.insert("Person");
    ASSERT_TRUE(object);
    Error error;
    EXPECT_FALSE(context.save(&error));
    EXPECT_EQ(error.code, static_cast<int64_t>(StoreErrorCode::NoStore));
    auto found = context.fetch({"Person", {}, {}, {}});
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->empty());

    ObjectContext orphan(nullptr);
    EXPECT_FALSE(orphan.insert("Person"));
    EXPECT_FALSE(orphan.fetch({"Person", {}, {}, {}}));
    EXPECT_TRUE(orphan.save());
}

class HostileStoreFileTest : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileStoreFileTest, IsAnErrorWithoutBlockingOrTouchingIt) {
    TempDirectory directory;
    const std::string outside = directory.write("outside.db", "");
    const std::string path = directory.file("store.db");
    plantHostile(GetParam(), path, outside);
    const auto before = std::filesystem::symlink_status(path).type();

    Watchdog watchdog(10s, std::string("opening a store on a ") + hostileName(GetParam()));
    StoreCoordinator coordinator(peopleModel());
    Error error;
    EXPECT_FALSE(coordinator.addPersistentStore("SQLite", fileUrl(path), &error));
    EXPECT_EQ(error.domain, store::kObjectStoreErrorDomain);
    EXPECT_TRUE(error.code == static_cast<int64_t>(StoreErrorCode::OpenFailed) ||
                error.code == static_cast<int64_t>(StoreErrorCode::NotADatabase))
        << error.description();
    EXPECT_EQ(std::filesystem::symlink_status(path).type(), before);
    EXPECT_EQ(std::filesystem::file_size(outside), 0u);
}

TEST_P(HostileStoreFileTest, BesideADatabaseAsItsJournalIsRefusedWithoutBlocking) {
    TempDirectory directory;
    const std::string path = directory.file("store.db");
    {
        StoreCoordinator coordinator(peopleModel());
        ASSERT_TRUE(coordinator.addPersistentStore("SQLite", fileUrl(path)));
    }
    plantHostile(GetParam(), path + "-journal", directory.write("outside", "x"));

    Watchdog watchdog(10s, std::string("a journal that is a ") + hostileName(GetParam()));
    auto coordinator = std::make_shared<StoreCoordinator>(peopleModel());
    Error error;
    auto store = coordinator->addPersistentStore("SQLite", fileUrl(path), &error);
    // A regular file, however large, is SQLite's to judge.
    if (GetParam() != Hostile::HugeFile) {
        EXPECT_FALSE(store);
        EXPECT_EQ(error.code, static_cast<int64_t>(StoreErrorCode::OpenFailed));
    }
    if (store) {
        ObjectContext context(coordinator);
        EXPECT_TRUE(context.fetch({"Person", {}, {}, {}}));
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileStoreFileTest, ::testing::ValuesIn(allHostileKinds()),
                         hostileTestName);

TEST(ObjectStoreFileTest, AFileThatIsNotADatabaseIsAnErrorAndStaysAsItWas) {
    TempDirectory directory;
    const std::string text = "name,age\nAnn,30\nthis is a spreadsheet, not a database\n";
    const std::string path = directory.write("notes.db", text);
    StoreCoordinator coordinator(peopleModel());
    Error error;
    EXPECT_FALSE(coordinator.addPersistentStore("SQLite", fileUrl(path), &error));
    EXPECT_EQ(error.code, static_cast<int64_t>(StoreErrorCode::NotADatabase))
        << error.description();
    EXPECT_EQ(TempDirectory::read(path), text);
    EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
}

}  // namespace
}  // namespace skald::test
