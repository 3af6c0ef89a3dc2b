#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {

/// The HTTP request attached to an event.
class Request {
  public:
    std::optional<int64_t> bodySize;
    std::optional<std::string> cookies;
    std::optional<std::string> fragment;
    std::optional<Json> headers;
    std::optional<std::string> method;
    std::optional<std::string> queryString;
    std::optional<std::string> url;

    /// Held by serialize while it reads; code that updates a request other
    /// threads may be serializing holds it too.
    mutable std::mutex mutex;

    Json serialize() const;
};

}  // namespace skald
