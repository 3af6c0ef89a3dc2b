#include "skald/request.h"

#include "util/dictionary.h"
#include "util/sanitize.h"

namespace skald {

Json Request::serialize() const {
    std::lock_guard guard(mutex);
    Json result = objectWithCapacity(7);
    if (bodySize && *bodySize != 0) appendEntry(result, "body_size", *bodySize);
    appendIfSet(result, "cookies", cookies);
    appendIfSet(result, "fragment", fragment);
    if (auto sanitized = sanitizeDictionary(headers)) {
        appendEntry(result, "headers", std::move(*sanitized));
    }
    appendIfSet(result, "method", method);
    appendIfSet(result, "query_string", queryString);
    appendIfSet(result, "url", url);
    return result;
}

}  // namespace skald
