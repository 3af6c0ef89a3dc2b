#pragma once

#include <optional>

#include "skald/json.h"

namespace skald {

/// Makes a caller-supplied dictionary safe to write: drops keys beginning with
/// "__skald" at every level, sanitizes nested objects and arrays and turns
/// values JSON cannot carry as such (null, binary) into their description.
/// Anything that is not an object gives nothing.
std::optional<Json> sanitizeDictionary(const Json& dictionary);
std::optional<Json> sanitizeDictionary(const std::optional<Json>& dictionary);
/// Sanitizes in place, without copying the values that stay.
std::optional<Json> sanitizeDictionary(std::optional<Json>&& dictionary);

/// Sanitizes every element of an array; anything that is not an array gives an
/// empty array.
Json sanitizeArray(const Json& array);

}  // namespace skald
