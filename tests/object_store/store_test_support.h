#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "skald/object_store/object_store.h"
#include "support/temp_directory.h"

namespace skald::test {

using store::AttributeType;
using store::ComparisonOperator;
using store::Entity;
using store::Expression;
using store::FetchRequest;
using store::ManagedObject;
using store::Model;
using store::ObjectContext;
using store::Predicate;
using store::StoreCoordinator;
using store::Value;

inline Predicate compare(const std::string& key, ComparisonOperator op, Value value) {
    return Predicate::comparison(Expression::keyPath(key), op,
                                 Expression::constant(std::move(value)));
}

inline Expression constants(std::vector<Value> values) {
    std::vector<Expression> elements;
    for (auto& value : values) elements.push_back(Expression::constant(std::move(value)));
    return Expression::aggregate(std::move(elements));
}

inline Model peopleModel() {
    return Model({Entity("Person", {{"name", AttributeType::String},
                                    {"age", AttributeType::Integer},
                                    {"score", AttributeType::Double},
                                    {"active", AttributeType::Boolean}}),
                  Entity("Pet", {{"name", AttributeType::String}})});
}

/// "file://" + the path.
inline std::string fileUrl(const std::string& path) {
    return "file://" + path;
}

/// The names of the objects, in their order.
inline std::vector<std::string> names(const std::vector<std::shared_ptr<ManagedObject>>& objects) {
    std::vector<std::string> result;
    for (const auto& object : objects) {
        const Value value = object->get("name");
        result.push_back(std::holds_alternative<std::string>(value) ? std::get<std::string>(value)
                                                                    : "<none>");
    }
    return result;
}

inline std::vector<std::string> sorted(std::vector<std::string> values) {
    std::sort(values.begin(), values.end());
    return values;
}

}  // namespace skald::test
