#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "skald/json.h"

namespace skald {

/// The domain and code of the error an event was captured from.
class NSError {
  public:
    NSError(std::string domain, int64_t code) : domain(std::move(domain)), code(code) {}

    std::string domain;
    int64_t code;

    Json serialize() const;
};

}  // namespace skald
