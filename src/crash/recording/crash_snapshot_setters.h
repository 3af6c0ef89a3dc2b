#pragma once

#include "crash/async_safe/scope_snapshot.h"

// The setters of the texts that crash-time code reads without locks. They
// copy each text onto the heap, hand it to the crash-time storage and free
// the copy it replaces, so they run only while the process is healthy.

namespace skald::crash::scope {

/// Copies `json` into the slot (null clears it).
void setField(Field field, const char* json);
/// Drops every breadcrumb and sizes the ring (at most kMaxBreadcrumbs).
void setBreadcrumbCapacity(int capacity);
/// Stores a copy in the next slot of the ring, replacing the oldest one.
void addBreadcrumb(const char* json);
void clearBreadcrumbs();
/// Clears every slot.
void clear();

}  // namespace skald::crash::scope

namespace skald::crash::writer {

/// The host's own JSON for the report's "user" section; null clears it.
void setUserInfoJSON(const char* json);

}  // namespace skald::crash::writer
