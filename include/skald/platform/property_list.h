#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "skald/json.h"

namespace skald::platform {

/// Parses an XML or binary property list. Dictionaries become JSON objects,
/// arrays arrays; integers, reals, booleans and texts keep their kind; dates
/// become ISO 8601 texts in UTC ("2001-01-01T00:00:00Z"), data base64 texts
/// and keyed-archive UIDs integers. Nothing when the data is no property list.
std::optional<Json> parsePropertyList(std::string_view data);

/// Reads and parses the property list file at `path`; nothing when it is
/// missing, unreadable, unreasonably large or malformed.
std::optional<Json> readPropertyListFile(const std::string& path);

}  // namespace skald::platform
