#pragma once

#include <optional>
#include <string>

#include "skald/date.h"
#include "skald/json.h"
#include "skald/level.h"

namespace skald {

/// A record of something that happened before an event.
class Breadcrumb {
  public:
    /// Level info, category "default", the current date.
    Breadcrumb();
    Breadcrumb(Level level, std::string category);

    /// Builds a breadcrumb from its JSON form, starting from an empty one
    /// (level none, no timestamp). "level", "timestamp", "category", "type" and
    /// "message" are taken when they are strings, "data" when it is an object;
    /// every other entry, and a known key with a value of the wrong type, is
    /// kept in `unknown`.
    static Breadcrumb fromDictionary(const Json& dictionary);

    Level level = Level::None;
    std::optional<Date> timestamp;
    std::optional<std::string> category;
    std::optional<std::string> type;
    std::optional<std::string> message;
    std::optional<Json> data;
    /// Entries written at the top level after the known keys, replacing them.
    std::optional<Json> unknown;

    Json serialize() const;
    /// "<Breadcrumb: <address>, <serialized form>>".
    std::string description() const;

    bool operator==(const Breadcrumb& other) const;

  private:
    struct EmptyTag {};
    explicit Breadcrumb(EmptyTag) {}
};

}  // namespace skald
