#include "skald/mechanism.h"

#include "util/dictionary.h"
#include "util/sanitize.h"

namespace skald {

Json MechanismMeta::serialize() const {
    Json result = objectWithCapacity(3);
    if (auto sanitized = sanitizeDictionary(signal)) {
        appendEntry(result, "signal", std::move(*sanitized));
    }
    if (auto sanitized = sanitizeDictionary(machException)) {
        appendEntry(result, "mach_exception", std::move(*sanitized));
    }
    if (error) appendEntry(result, "ns_error", error->serialize());
    return result;
}

Json Mechanism::serialize() const {
    Json result = objectWithCapacity(7);
    appendEntry(result, "type", type);
    appendBoolIfSet(result, "handled", handled);
    appendBoolIfSet(result, "synthetic", synthetic);
    appendIfSet(result, "description", desc);
    if (auto sanitized = sanitizeDictionary(data)) {
        appendEntry(result, "data", std::move(*sanitized));
    }
    appendIfSet(result, "help_link", helpLink);
    if (meta) appendEntry(result, "meta", meta->serialize());
    return result;
}

}  // namespace skald
