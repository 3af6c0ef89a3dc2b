#pragma once

#include <string>
#include <string_view>

namespace skald::platform {

/// The last component of `path`. Trailing slashes are not a component of
/// their own ("a/b/" gives "b"); "/" is its own last component and "" has
/// none.
std::string_view lastPathComponent(std::string_view path);

/// `path` with `component` appended after exactly the one slash between
/// them; an empty `path` gives `component` alone.
std::string appendingPathComponent(std::string_view path, std::string_view component);

}  // namespace skald::platform
