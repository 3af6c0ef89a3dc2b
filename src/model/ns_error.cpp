#include "skald/ns_error.h"

#include "util/dictionary.h"

namespace skald {

Json NSError::serialize() const {
    Json result = objectWithCapacity(2);
    appendEntry(result, "domain", domain);
    appendEntry(result, "code", code);
    return result;
}

}  // namespace skald
