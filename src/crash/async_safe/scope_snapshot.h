// Async-signal-safe readers of the scope as the crash-time writer sees it.
#pragma once

#include <atomic>

namespace skald::crash::scope {

/// The slots of the scope snapshot: each a NUL-terminated JSON text or null.
enum class Field { User, Dist, Context, Environment, Tags, Extra, Fingerprint, Level, Count };

/// The JSON key of a slot in the report's "skald_sdk_scope".
const char* fieldName(Field field);

/// The slot's current text, or null. Read without locking: a writer replaces
/// a slot by storing the new copy first, so a reader sees either text whole.
const char* field(Field field);

/// Breadcrumb ring: slots 0 … capacity-1 and the next index to write.
int breadcrumbCapacity();
int breadcrumbNextIndex();
const char* breadcrumbAt(int index);

// --- Writing: off the crash path, from whatever thread changes the scope ---

/// Copies `json` (null clears the slot).
void setField(Field field, const char* json);
/// Drops every breadcrumb and sizes the ring.
void setBreadcrumbCapacity(int capacity);
/// Stores a copy in the next slot of the ring, replacing the oldest one.
void addBreadcrumb(const char* json);
void clearBreadcrumbs();
/// Clears every slot.
void clear();

}  // namespace skald::crash::scope
