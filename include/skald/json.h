#pragma once

#include <nlohmann/json.hpp>

namespace skald {

/// The SDK's dynamic value for dictionaries and arrays; keeps insertion order.
using Json = nlohmann::ordered_json;

}  // namespace skald
