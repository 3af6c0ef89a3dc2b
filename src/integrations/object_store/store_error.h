#pragma once

#include <string>

#include "skald/error.h"
#include "skald/object_store/store_coordinator.h"

namespace skald::store::detail {

Error storeError(StoreErrorCode code, std::string description);

/// Logs the error at debug level and hands it to the caller when asked.
void report(Error* out, Error error);

/// Whether `name` can stand for a table or column: ASCII letters, digits and
/// '_', starting with a letter, not SQLite's own "sqlite_" prefix.
bool isValidIdentifier(const std::string& name);

/// `name` as a quoted SQL identifier.
std::string quoteIdentifier(const std::string& name);

}  // namespace skald::store::detail
