#pragma once

#include <string>

#include "skald/id.h"
#include "skald/json.h"

namespace skald {

/// What a user said about an event, sent as a "user_report" item.
class UserFeedback {
  public:
    explicit UserFeedback(Id eventId) : eventId(eventId) {}

    /// "event_id" (32 hex digits), "name", "email", "comments".
    Json serialize() const;

    Id eventId;
    std::string name;
    std::string email;
    std::string comments;
};

}  // namespace skald
