#include "integrations/object_store/predicate_descriptor.h"

namespace skald {

namespace {

using store::ComparisonOperator;
using store::CompoundType;
using store::Expression;
using store::Predicate;

constexpr const char* kUnknown = "<UNKNOWN PREDICATE>";
/// Deeper trees are not described, so that a hostile one cannot exhaust the stack.
constexpr int kMaxDepth = 100;

const char* typeWord(CompoundType type) {
    switch (type) {
        case CompoundType::Not:
            return "NOT";
        case CompoundType::And:
            return " AND ";
        case CompoundType::Or:
            return " OR ";
    }
    return ", ";
}

const char* operatorText(ComparisonOperator op) {
    switch (op) {
        case ComparisonOperator::LessThan:
            return "<";
        case ComparisonOperator::LessThanOrEqualTo:
            return "<=";
        case ComparisonOperator::GreaterThan:
            return ">";
        case ComparisonOperator::GreaterThanOrEqualTo:
            return ">=";
        case ComparisonOperator::EqualTo:
            return "==";
        case ComparisonOperator::NotEqualTo:
            return "!=";
        case ComparisonOperator::Matches:
            return "MATCHES";
        case ComparisonOperator::Like:
            return "LIKE";
        case ComparisonOperator::BeginsWith:
            return "BEGINSWITH";
        case ComparisonOperator::EndsWith:
            return "ENDSWITH";
        case ComparisonOperator::In:
            return "IN";
        case ComparisonOperator::Contains:
            return "CONTAINS";
        case ComparisonOperator::Between:
            return "BETWEEN";
    }
    return nullptr;
}

std::string describePredicate(const Predicate& predicate, int depth);

std::string describeExpression(const Expression& expression, int depth) {
    if (depth > kMaxDepth) return kUnknown;
    switch (expression.kind()) {
        case Expression::Kind::KeyPath:
            return expression.keyPathName();
        case Expression::Kind::Constant:
            return "%@";
        case Expression::Kind::Conditional: {
            if (!expression.condition() || expression.operands().size() != 2) return kUnknown;
            return "TERNARY(" + describePredicate(*expression.condition(), depth + 1) + "," +
                   describeExpression(expression.operands()[0], depth + 1) + "," +
                   describeExpression(expression.operands()[1], depth + 1) + ")";
        }
        case Expression::Kind::Aggregate: {
            std::string elements;
            for (const auto& element : expression.operands()) {
                if (!elements.empty()) elements += ", ";
                elements += describeExpression(element, depth + 1);
            }
            return "{" + elements + "}";
        }
    }
    return kUnknown;
}

std::string describePredicate(const Predicate& predicate, int depth) {
    if (depth > kMaxDepth) return kUnknown;
    switch (predicate.kind()) {
        case Predicate::Kind::Compound: {
            const char* word = typeWord(predicate.compoundType());
            const auto& subpredicates = predicate.subpredicates();
            std::string joined;
            for (size_t i = 0; i < subpredicates.size(); ++i) {
                std::string part = describePredicate(subpredicates[i], depth + 1);
                if (subpredicates[i].kind() == Predicate::Kind::Compound) part = "(" + part + ")";
                if (subpredicates.size() == 1) return std::string(word) + " " + part;
                if (i) joined += word;
                joined += part;
            }
            return joined;
        }
        case Predicate::Kind::Comparison: {
            const char* op = operatorText(predicate.comparisonOperator());
            if (!op) return "<COMPARISON NOT SUPPORTED>";
            return describeExpression(predicate.left(), depth + 1) + " " + op + " " +
                   describeExpression(predicate.right(), depth + 1);
        }
        case Predicate::Kind::Constant:
            break;
    }
    return kUnknown;
}

}  // namespace

std::string PredicateDescriptor::predicateDescription(const Predicate& predicate) {
    return describePredicate(predicate, 0);
}

std::string PredicateDescriptor::expressionDescription(const Expression& expression) {
    return describeExpression(expression, 0);
}

}  // namespace skald
