#include "integrations/object_store/store_error.h"

#include <strings.h>

#include "util/log.h"

namespace skald::store::detail {

Error storeError(StoreErrorCode code, std::string description) {
    return Error(kObjectStoreErrorDomain, static_cast<int64_t>(code), std::move(description));
}

void report(Error* out, Error error) {
    SKALD_LOG_DEBUG("Object store: %s", error.localizedDescription.c_str());
    if (out) *out = std::move(error);
}

bool isValidIdentifier(const std::string& name) {
    if (name.empty() || name.size() > 128) return false;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!letter(name[0])) return false;
    for (char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') return false;
    }
    return strncasecmp(name.c_str(), "sqlite_", 7) != 0;
}

std::string quoteIdentifier(const std::string& name) {
    // Names are checked before they get here; doubling quotes keeps the
    // statement well-formed whatever slips through.
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c;
        if (c == '"') quoted += '"';
    }
    return quoted + "\"";
}

}  // namespace skald::store::detail
