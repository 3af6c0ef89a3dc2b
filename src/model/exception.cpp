#include "skald/exception.h"

#include "util/dictionary.h"

namespace skald {

Json Exception::serialize() const {
    Json result = objectWithCapacity(6);
    appendEntry(result, "value", value);
    appendEntry(result, "type", type);
    if (mechanism) appendEntry(result, "mechanism", mechanism->serialize());
    appendIfSet(result, "module", module);
    appendIfSet(result, "thread_id", threadId);
    if (stacktrace) appendEntry(result, "stacktrace", stacktrace->serialize());
    return result;
}

}  // namespace skald
