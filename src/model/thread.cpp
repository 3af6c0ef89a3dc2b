#include "skald/thread.h"

#include "util/dictionary.h"

namespace skald {

namespace {
// What the service expects for a thread whose id is not known.
constexpr uint64_t kUnknownThreadId = 99;
}  // namespace

Json Thread::serialize() const {
    Json result = objectWithCapacity(6);
    appendEntry(result, "id", threadId.value_or(kUnknownThreadId));
    appendBoolIfSet(result, "crashed", crashed);
    appendBoolIfSet(result, "current", current);
    appendIfSet(result, "name", name);
    if (stacktrace) appendEntry(result, "stacktrace", stacktrace->serialize());
    appendBoolIfSet(result, "main", isMain);
    return result;
}

}  // namespace skald
