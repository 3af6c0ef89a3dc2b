#pragma once

#include <memory>
#include <string>
#include <vector>

#include "skald/object_store/model.h"

namespace skald::store {

/// Comparison operators by their fixed numbers; any other number is a custom
/// operator, which can be described but not fetched with.
enum class ComparisonOperator : int {
    LessThan = 0,
    LessThanOrEqualTo = 1,
    GreaterThan = 2,
    GreaterThanOrEqualTo = 3,
    EqualTo = 4,
    NotEqualTo = 5,
    Matches = 6,
    Like = 7,
    BeginsWith = 8,
    EndsWith = 9,
    In = 10,
    Contains = 99,
    Between = 100,
};

enum class CompoundType : int { Not = 0, And = 1, Or = 2 };

class Predicate;

/// One side of a comparison.
class Expression {
  public:
    enum class Kind {
        KeyPath,      ///< an attribute of the fetched entity
        Constant,     ///< a value, bound as a parameter
        Conditional,  ///< predicate ? true expression : false expression
        Aggregate,    ///< a list of expressions, for IN and BETWEEN
    };

    static Expression keyPath(std::string name);
    static Expression constant(Value value);
    static Expression conditional(Predicate predicate, Expression whenTrue, Expression whenFalse);
    static Expression aggregate(std::vector<Expression> elements);

    Kind kind() const { return kind_; }
    /// The key path's name; empty for other kinds.
    const std::string& keyPathName() const { return keyPath_; }
    /// The constant; no value for other kinds.
    const Value& constantValue() const { return constant_; }
    /// The condition of a conditional; null for other kinds.
    const std::shared_ptr<const Predicate>& condition() const { return condition_; }
    /// A conditional's true and false expressions, or an aggregate's elements.
    const std::vector<Expression>& operands() const { return operands_; }

    /// A constant without a value.
    Expression() = default;

  private:
    Kind kind_ = Kind::Constant;
    std::string keyPath_;
    Value constant_;
    std::shared_ptr<const Predicate> condition_;
    std::vector<Expression> operands_;
};

/// A condition on the objects of a fetch: an immutable expression tree.
class Predicate {
  public:
    enum class Kind {
        Comparison,
        Compound,
        /// Always true or always false; it has no description of its own.
        Constant,
    };

    static Predicate comparison(Expression left, ComparisonOperator op, Expression right);
    static Predicate compound(CompoundType type, std::vector<Predicate> subpredicates);
    static Predicate notPredicate(Predicate subpredicate);
    static Predicate andPredicate(std::vector<Predicate> subpredicates);
    static Predicate orPredicate(std::vector<Predicate> subpredicates);
    static Predicate constant(bool value);

    Kind kind() const { return kind_; }
    const Expression& left() const { return left_; }
    ComparisonOperator comparisonOperator() const { return operator_; }
    const Expression& right() const { return right_; }
    CompoundType compoundType() const { return compoundType_; }
    const std::vector<Predicate>& subpredicates() const { return subpredicates_; }
    bool constantValue() const { return value_; }

  private:
    Predicate();

    Kind kind_ = Kind::Constant;
    Expression left_;
    ComparisonOperator operator_ = ComparisonOperator::EqualTo;
    Expression right_;
    CompoundType compoundType_ = CompoundType::And;
    std::vector<Predicate> subpredicates_;
    bool value_ = true;
};

}  // namespace skald::store
