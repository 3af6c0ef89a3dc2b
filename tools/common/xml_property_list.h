#pragma once

#include <string>

#include "skald/json.h"

namespace skald::tools {

/// `value` as an XML property list: objects become dictionaries, arrays
/// arrays, texts strings, integers, reals and booleans keep their kind; null
/// is left out (property lists have none).
std::string xmlPropertyList(const Json& value);

}  // namespace skald::tools
