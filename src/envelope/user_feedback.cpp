#include "skald/user_feedback.h"

#include "util/dictionary.h"

namespace skald {

Json UserFeedback::serialize() const {
    Json result = objectWithCapacity(4);
    appendEntry(result, "event_id", eventId.skaldIdString());
    appendEntry(result, "name", name);
    appendEntry(result, "email", email);
    appendEntry(result, "comments", comments);
    return result;
}

}  // namespace skald
