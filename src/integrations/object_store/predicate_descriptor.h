#pragma once

#include <string>

#include "skald/object_store/predicate.h"

namespace skald {

/// A predicate as text for a span: its shape without its constant values,
/// which are written "%@".
class PredicateDescriptor {
  public:
    static std::string predicateDescription(const store::Predicate& predicate);
    static std::string expressionDescription(const store::Expression& expression);
};

}  // namespace skald
