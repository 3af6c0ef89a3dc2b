#include "skald/object_store/predicate.h"

namespace skald::store {

Expression Expression::keyPath(std::string name) {
    Expression expression;
    expression.kind_ = Kind::KeyPath;
    expression.keyPath_ = std::move(name);
    return expression;
}

Expression Expression::constant(Value value) {
    Expression expression;
    expression.kind_ = Kind::Constant;
    expression.constant_ = std::move(value);
    return expression;
}

Expression Expression::conditional(Predicate predicate, Expression whenTrue, Expression whenFalse) {
    Expression expression;
    expression.kind_ = Kind::Conditional;
    expression.condition_ = std::make_shared<const Predicate>(std::move(predicate));
    expression.operands_ = {std::move(whenTrue), std::move(whenFalse)};
    return expression;
}

Expression Expression::aggregate(std::vector<Expression> elements) {
    Expression expression;
    expression.kind_ = Kind::Aggregate;
    expression.operands_ = std::move(elements);
    return expression;
}

Predicate::Predicate() = default;

Predicate Predicate::comparison(Expression left, ComparisonOperator op, Expression right) {
    Predicate predicate;
    predicate.kind_ = Kind::Comparison;
    predicate.left_ = std::move(left);
    predicate.operator_ = op;
    predicate.right_ = std::move(right);
    return predicate;
}

Predicate Predicate::compound(CompoundType type, std::vector<Predicate> subpredicates) {
    Predicate predicate;
    predicate.kind_ = Kind::Compound;
    predicate.compoundType_ = type;
    predicate.subpredicates_ = std::move(subpredicates);
    return predicate;
}

Predicate Predicate::notPredicate(Predicate subpredicate) {
    std::vector<Predicate> subpredicates;
    subpredicates.push_back(std::move(subpredicate));
    return compound(CompoundType::Not, std::move(subpredicates));
}

Predicate Predicate::andPredicate(std::vector<Predicate> subpredicates) {
    return compound(CompoundType::And, std::move(subpredicates));
}

Predicate Predicate::orPredicate(std::vector<Predicate> subpredicates) {
    return compound(CompoundType::Or, std::move(subpredicates));
}

Predicate Predicate::constant(bool value) {
    Predicate predicate;
    predicate.kind_ = Kind::Constant;
    predicate.value_ = value;
    return predicate;
}

}  // namespace skald::store
