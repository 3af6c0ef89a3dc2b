// Async-signal-safe readers of the scope as the crash-time writer sees it.
#pragma once

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

// --- Storage for the setters (recording/crash_snapshot_setters.h) ----------
// The setters own the texts: they allocate the copies and free what these
// hand back. Nothing here allocates or locks.

/// Slots of the breadcrumb ring.
inline constexpr int kMaxBreadcrumbs = 1000;

/// Puts `text` in the slot and returns the text it held.
char* exchangeField(Field field, char* text);
/// The same for ring slot `index` (0 … kMaxBreadcrumbs-1); null otherwise.
char* exchangeBreadcrumb(int index, char* text);
/// Sets how many ring slots are read (at most kMaxBreadcrumbs) and the next
/// one to write.
void setBreadcrumbRing(int capacity, int nextIndex);

}  // namespace skald::crash::scope
