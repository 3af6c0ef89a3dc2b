#pragma once

#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {

/// Where the user is.
class Geo {
  public:
    std::optional<std::string> city;
    std::optional<std::string> countryCode;
    std::optional<std::string> region;

    Json serialize() const;

    bool operator==(const Geo& other) const = default;
};

}  // namespace skald
