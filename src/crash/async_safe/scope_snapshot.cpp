// Async-signal-safe: atomic loads and exchanges. The setters that allocate
// the texts and free the old ones live off the crash path.
#include "crash/async_safe/scope_snapshot.h"

#include <atomic>

namespace skald::crash::scope {

namespace {

constexpr int kFieldCount = static_cast<int>(Field::Count);

const char* const kFieldNames[kFieldCount] = {"user", "dist",  "context",     "environment",
                                              "tags", "extra", "fingerprint", "level"};

std::atomic<char*> gFields[kFieldCount];
std::atomic<char*> gBreadcrumbs[kMaxBreadcrumbs];
std::atomic<int> gCapacity{0};
std::atomic<int> gNextIndex{0};

}  // namespace

const char* fieldName(Field field) {
    const int index = static_cast<int>(field);
    return index >= 0 && index < kFieldCount ? kFieldNames[index] : nullptr;
}

const char* field(Field field) {
    const int index = static_cast<int>(field);
    return index >= 0 && index < kFieldCount ? gFields[index].load() : nullptr;
}

int breadcrumbCapacity() {
    return gCapacity;
}

int breadcrumbNextIndex() {
    return gNextIndex;
}

const char* breadcrumbAt(int index) {
    if (index < 0 || index >= gCapacity) return nullptr;
    return gBreadcrumbs[index].load();
}

char* exchangeField(Field field, char* text) {
    const int index = static_cast<int>(field);
    if (index < 0 || index >= kFieldCount) return text;
    return gFields[index].exchange(text);
}

char* exchangeBreadcrumb(int index, char* text) {
    if (index < 0 || index >= kMaxBreadcrumbs) return text;
    return gBreadcrumbs[index].exchange(text);
}

void setBreadcrumbRing(int capacity, int nextIndex) {
    if (capacity < 0) capacity = 0;
    if (capacity > kMaxBreadcrumbs) capacity = kMaxBreadcrumbs;
    gNextIndex = nextIndex >= 0 && nextIndex < capacity ? nextIndex : 0;
    gCapacity = capacity;
}

}  // namespace skald::crash::scope
