#include "integrations/object_store/predicate_sql.h"

#include "integrations/object_store/store_error.h"

namespace skald::store::detail {

namespace {

/// Keeps a hostile tree from exhausting the stack; SQLite refuses deeper
/// expressions than this anyway.
constexpr int kMaxDepth = 200;

const char* scalarOperator(ComparisonOperator op) {
    switch (op) {
        case ComparisonOperator::LessThan:
            return "<";
        case ComparisonOperator::LessThanOrEqualTo:
            return "<=";
        case ComparisonOperator::GreaterThan:
            return ">";
        case ComparisonOperator::GreaterThanOrEqualTo:
            return ">=";
        // IS and IS NOT compare like = and != but also match a missing value.
        case ComparisonOperator::EqualTo:
            return "IS";
        case ComparisonOperator::NotEqualTo:
            return "IS NOT";
        default:
            return nullptr;
    }
}

class Translator {
  public:
    Translator(const Entity& entity, std::vector<Value>& bindings, Error* error)
        : entity_(entity), bindings_(bindings), error_(error) {}

    std::optional<std::string> predicate(const Predicate& predicate, int depth) {
        if (depth > kMaxDepth)
            return fail(StoreErrorCode::UnsupportedPredicate,
                        "The predicate is nested too deeply.");
        switch (predicate.kind()) {
            case Predicate::Kind::Constant:
                return std::string(predicate.constantValue() ? "1" : "0");
            case Predicate::Kind::Compound:
                return compound(predicate, depth);
            case Predicate::Kind::Comparison:
                return comparison(predicate, depth);
        }
        return fail(StoreErrorCode::UnsupportedPredicate, "Unknown kind of predicate.");
    }

  private:
    std::optional<std::string> fail(StoreErrorCode code, std::string description) {
        report(error_, storeError(code, std::move(description)));
        return std::nullopt;
    }

    /// The subpredicates joined by `word`; `empty` when there are none.
    std::optional<std::string> joined(const std::vector<Predicate>& subpredicates, const char* word,
                                      const char* empty, int depth) {
        if (subpredicates.empty()) return std::string(empty);
        std::string sql;
        for (const auto& subpredicate : subpredicates) {
            auto part = predicate(subpredicate, depth + 1);
            if (!part) return std::nullopt;
            if (!sql.empty()) sql += word;
            sql += "(" + *part + ")";
        }
        return sql;
    }

    std::optional<std::string> compound(const Predicate& compound, int depth) {
        switch (compound.compoundType()) {
            case CompoundType::And:
                return joined(compound.subpredicates(), " AND ", "1", depth);
            case CompoundType::Or:
                return joined(compound.subpredicates(), " OR ", "0", depth);
            case CompoundType::Not: {
                auto inner = joined(compound.subpredicates(), " AND ", "1", depth);
                if (!inner) return std::nullopt;
                return "NOT (" + *inner + ")";
            }
        }
        return fail(StoreErrorCode::UnsupportedPredicate,
                    "Unknown compound type " +
                        std::to_string(static_cast<int>(compound.compoundType())) + ".");
    }

    std::optional<std::string> comparison(const Predicate& comparison, int depth) {
        const ComparisonOperator op = comparison.comparisonOperator();
        auto left = expression(comparison.left(), depth + 1);
        if (!left) return std::nullopt;
        if (const char* sqlOperator = scalarOperator(op)) {
            auto right = expression(comparison.right(), depth + 1);
            if (!right) return std::nullopt;
            return *left + " " + sqlOperator + " " + *right;
        }
        switch (op) {
            case ComparisonOperator::Like:
            case ComparisonOperator::BeginsWith:
            case ComparisonOperator::EndsWith:
            case ComparisonOperator::Contains:
                return textMatch(*left, op, comparison.right());
            case ComparisonOperator::In:
                return in(*left, comparison.right(), depth);
            case ComparisonOperator::Between:
                return between(*left, comparison.right(), depth);
            default:
                return fail(StoreErrorCode::UnsupportedPredicate,
                            "The store cannot evaluate the comparison operator " +
                                std::to_string(static_cast<int>(op)) + ".");
        }
    }

    /// Case-sensitive matching through GLOB, whose wildcards are those of
    /// LIKE here ('*' and '?'); for the other operators the text is matched
    /// literally.
    std::optional<std::string> textMatch(const std::string& left, ComparisonOperator op,
                                         const Expression& right) {
        const auto* text = right.kind() == Expression::Kind::Constant
                               ? std::get_if<std::string>(&right.constantValue())
                               : nullptr;
        if (!text) {
            return fail(StoreErrorCode::UnsupportedPredicate,
                        "A text comparison needs a text constant on its right.");
        }
        std::string pattern;
        switch (op) {
            case ComparisonOperator::Like:
                for (char c : *text) pattern += c == '[' ? std::string("[[]") : std::string(1, c);
                break;
            case ComparisonOperator::BeginsWith:
                pattern = globLiteral(*text) + "*";
                break;
            case ComparisonOperator::EndsWith:
                pattern = "*" + globLiteral(*text);
                break;
            default:
                pattern = "*" + globLiteral(*text) + "*";
                break;
        }
        bindings_.push_back(std::move(pattern));
        return left + " GLOB ?";
    }

    std::optional<std::string> in(const std::string& left, const Expression& right, int depth) {
        if (right.kind() != Expression::Kind::Aggregate) {
            return fail(StoreErrorCode::UnsupportedPredicate, "IN needs a list on its right.");
        }
        if (right.operands().empty()) return std::string("0");
        std::string list;
        for (const auto& element : right.operands()) {
            auto sql = expression(element, depth + 1);
            if (!sql) return std::nullopt;
            list += (list.empty() ? "" : ", ") + *sql;
        }
        return left + " IN (" + list + ")";
    }

    std::optional<std::string> between(const std::string& left, const Expression& right,
                                       int depth) {
        if (right.kind() != Expression::Kind::Aggregate || right.operands().size() != 2) {
            return fail(StoreErrorCode::UnsupportedPredicate,
                        "BETWEEN needs a list of two bounds on its right.");
        }
        auto low = expression(right.operands()[0], depth + 1);
        if (!low) return std::nullopt;
        auto high = expression(right.operands()[1], depth + 1);
        if (!high) return std::nullopt;
        return left + " BETWEEN " + *low + " AND " + *high;
    }

    std::optional<std::string> expression(const Expression& expression, int depth) {
        if (depth > kMaxDepth)
            return fail(StoreErrorCode::UnsupportedPredicate,
                        "The predicate is nested too deeply.");
        switch (expression.kind()) {
            case Expression::Kind::KeyPath:
                if (!entity_.attribute(expression.keyPathName())) {
                    return fail(
                        StoreErrorCode::UnknownKey,
                        entity_.name() + " has no attribute \"" + expression.keyPathName() + "\".");
                }
                return quoteIdentifier(expression.keyPathName());
            case Expression::Kind::Constant:
                bindings_.push_back(expression.constantValue());
                return std::string("?");
            case Expression::Kind::Conditional: {
                if (!expression.condition() || expression.operands().size() != 2) break;
                auto condition = predicate(*expression.condition(), depth + 1);
                if (!condition) return std::nullopt;
                auto whenTrue = this->expression(expression.operands()[0], depth + 1);
                if (!whenTrue) return std::nullopt;
                auto whenFalse = this->expression(expression.operands()[1], depth + 1);
                if (!whenFalse) return std::nullopt;
                return "(CASE WHEN " + *condition + " THEN " + *whenTrue + " ELSE " + *whenFalse +
                       " END)";
            }
            case Expression::Kind::Aggregate:
                return fail(StoreErrorCode::UnsupportedPredicate,
                            "A list stands only on the right of IN or BETWEEN.");
        }
        return fail(StoreErrorCode::UnsupportedPredicate, "Unknown kind of expression.");
    }

    const Entity& entity_;
    std::vector<Value>& bindings_;
    Error* error_;
};

}  // namespace

std::string globLiteral(const std::string& text) {
    std::string pattern;
    pattern.reserve(text.size());
    for (char c : text) {
        if (c == '*' || c == '?' || c == '[') {
            pattern += '[';
            pattern += c;
            pattern += ']';
        } else {
            pattern += c;
        }
    }
    return pattern;
}

std::optional<std::string> predicateSql(const Predicate& predicate, const Entity& entity,
                                        std::vector<Value>& bindings, Error* error) {
    return Translator(entity, bindings, error).predicate(predicate, 0);
}

}  // namespace skald::store::detail
