// How fetches and saves are described on their spans: the shape of a
// predicate without its values, sort keys, and the grouped changes of a save.
#include <gtest/gtest.h>

#include "integrations/object_store/core_data_tracker.h"
#include "integrations/object_store/predicate_descriptor.h"
#include "object_store/store_test_support.h"

namespace skald::test {
namespace {

using Op = ComparisonOperator;

std::string describe(const Predicate& predicate) {
    return PredicateDescriptor::predicateDescription(predicate);
}

TEST(FetchDescriptionTest, PredicateAndSortAreWrittenWithoutTheValues) {
    FetchRequest request{"Entity",
                         Predicate::andPredicate({compare("name", Op::EqualTo, std::string("x")),
                                                  compare("age", Op::GreaterThan, int64_t{3})}),
                         {{"name", false}},
                         {}};
    EXPECT_EQ(CoreDataTracker::descriptionFromRequest(request),
              "SELECT 'Entity' WHERE name == %@ AND age > %@ SORT BY name DESCENDING");

    EXPECT_EQ(CoreDataTracker::descriptionFromRequest({"Person", {}, {}, 5}), "SELECT 'Person'");
    EXPECT_EQ(CoreDataTracker::descriptionFromRequest(
                  {"Person", {}, {{"name", true}, {"age", false}, {"score", true}}, {}}),
              "SELECT 'Person' SORT BY name, age DESCENDING, score");
}

TEST(PredicateDescriptionTest, EveryOperatorHasItsWordAndCustomOnesAreNotSupported) {
    const std::vector<std::pair<Op, std::string>> words = {
        {Op::LessThan, "<"},
        {Op::LessThanOrEqualTo, "<="},
        {Op::GreaterThan, ">"},
        {Op::GreaterThanOrEqualTo, ">="},
        {Op::EqualTo, "=="},
        {Op::NotEqualTo, "!="},
        {Op::Matches, "MATCHES"},
        {Op::Like, "LIKE"},
        {Op::BeginsWith, "BEGINSWITH"},
        {Op::EndsWith, "ENDSWITH"},
        {Op::In, "IN"},
        {Op::Contains, "CONTAINS"},
        {Op::Between, "BETWEEN"},
    };
    for (const auto& [op, word] : words) {
        EXPECT_EQ(describe(compare("a", op, int64_t{1})), "a " + word + " %@");
    }
    for (int custom : {11, 98, 101, -1}) {
        EXPECT_EQ(describe(compare("a", static_cast<Op>(custom), int64_t{1})),
                  "<COMPARISON NOT SUPPORTED>")
            << custom;
    }
    // A secret in a constant never reaches the text.
    EXPECT_EQ(describe(compare("password", Op::EqualTo, std::string("hunter2"))), "password == %@");
}

TEST(PredicateDescriptionTest, CompoundsJoinTheirPartsAndWrapNestedOnes) {
    const auto a = compare("a", Op::EqualTo, int64_t{1});
    const auto b = compare("b", Op::LessThan, int64_t{2});
    const auto c = compare("c", Op::NotEqualTo, int64_t{3});
    EXPECT_EQ(describe(Predicate::notPredicate(a)), "NOT a == %@");
    EXPECT_EQ(describe(Predicate::orPredicate({a, b, c})), "a == %@ OR b < %@ OR c != %@");
    EXPECT_EQ(describe(Predicate::orPredicate({a, Predicate::andPredicate({b, c})})),
              "a == %@ OR (b < %@ AND c != %@)");
    EXPECT_EQ(describe(Predicate::notPredicate(Predicate::orPredicate({a, b}))),
              "NOT (a == %@ OR b < %@)");
    EXPECT_EQ(describe(Predicate::andPredicate(
                  {Predicate::notPredicate(a), Predicate::orPredicate({b, c})})),
              "(NOT a == %@) AND (b < %@ OR c != %@)");
    // One part is written after the type word whatever the type.
    EXPECT_EQ(describe(Predicate::andPredicate({a})), " AND  a == %@");
    EXPECT_EQ(describe(Predicate::orPredicate({})), "");
}

TEST(PredicateDescriptionTest, ExpressionsTernariesAndListsAndWhatIsUnknown) {
    const auto ternary =
        Expression::conditional(compare("active", Op::EqualTo, true), Expression::keyPath("name"),
                                Expression::constant(std::string("none")));
    EXPECT_EQ(describe(Predicate::comparison(ternary, Op::EqualTo,
                                             Expression::constant(std::string("x")))),
              "TERNARY(active == %@,name,%@) == %@");
    EXPECT_EQ(describe(Predicate::comparison(Expression::keyPath("age"), Op::In,
                                             constants({int64_t{1}, 2.5, std::string("3")}))),
              "age IN {%@, %@, %@}");
    EXPECT_EQ(describe(Predicate::comparison(
                  Expression::keyPath("age"), Op::Between,
                  Expression::aggregate({Expression::keyPath("low"), Expression::constant(9L)}))),
              "age BETWEEN {low, %@}");
    EXPECT_EQ(describe(Predicate::comparison(Expression::keyPath("age"), Op::In, constants({}))),
              "age IN {}");
    EXPECT_EQ(describe(Predicate::constant(true)), "<UNKNOWN PREDICATE>");
    EXPECT_EQ(describe(Predicate::andPredicate({Predicate::constant(false)})),
              " AND  <UNKNOWN PREDICATE>");

    // A tree deeper than any real one is cut off instead of using up the stack.
    Predicate deep = compare("a", Op::EqualTo, 1L);
    for (int i = 0; i < 2000; ++i) deep = Predicate::notPredicate(std::move(deep));
    const std::string text = describe(deep);
    EXPECT_EQ(text.rfind("NOT (NOT (", 0), 0u);
    EXPECT_NE(text.find("<UNKNOWN PREDICATE>"), std::string::npos);
}

TEST(SaveDescriptionTest, OperationsAreGroupedByEntityAndDescribedInOrder) {
    auto coordinator = std::make_shared<StoreCoordinator>(peopleModel());
    ASSERT_TRUE(coordinator->addPersistentStore("InMemory", std::nullopt));
    ObjectContext context(coordinator);
    EXPECT_EQ(CoreDataTracker::groupEntitiesOperations(context), Json::object());
    EXPECT_EQ(CoreDataTracker::descriptionForOperations(Json::object()), "");

    for (int i = 0; i < 3; ++i) context.insert("Person")->set("age", int64_t{i});
    context.insert("Pet");
    ASSERT_TRUE(context.save());
    auto pets = context.fetch({"Pet", {}, {}, {}});
    ASSERT_TRUE(pets && pets->size() == 1);
    context.deleteObject((*pets)[0]);
    context.insert("Person");
    context.insert("Person");

    const Json grouped = CoreDataTracker::groupEntitiesOperations(context);
    EXPECT_EQ(grouped, Json::parse(R"({"INSERTED":{"Person":2},"DELETED":{"Pet":1}})"));
    EXPECT_EQ(CoreDataTracker::descriptionForOperations(grouped),
              "INSERTED 2 'Person', DELETED 1 'Pet'");

    context.insert("Pet");
    Error error;
    auto people = context.fetch({"Person", {}, {}, {}}, &error);
    ASSERT_TRUE(people) << error.description();
    ASSERT_EQ(people->size(), 3u);
    (*people)[0]->set("name", std::string("changed"));
    const Json all = CoreDataTracker::groupEntitiesOperations(context);
    EXPECT_EQ(all, Json::parse(R"({"INSERTED":{"Person":2,"Pet":1},"UPDATED":{"Person":1},
                                   "DELETED":{"Pet":1}})"));
    EXPECT_EQ(CoreDataTracker::descriptionForOperations(all),
              "INSERTED 3 items, UPDATED 1 'Person', DELETED 1 'Pet'");
}

}  // namespace
}  // namespace skald::test
