#pragma once

#include <optional>
#include <string>
#include <vector>

#include "skald/error.h"
#include "skald/object_store/model.h"
#include "skald/object_store/predicate.h"

namespace skald::store::detail {

/// The SQL condition for `predicate` on the table of `entity`: key paths
/// become the entity's columns and every constant a parameter, appended to
/// `bindings` in order. Nothing, with `error` set, for an unknown key, an
/// operator SQLite has no form of, or operands of the wrong kind.
std::optional<std::string> predicateSql(const Predicate& predicate, const Entity& entity,
                                        std::vector<Value>& bindings, Error* error);

/// `text` as a GLOB pattern that matches exactly `text`.
std::string globLiteral(const std::string& text);

}  // namespace skald::store::detail
