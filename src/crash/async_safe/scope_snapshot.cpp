// Readers are async-signal-safe (atomic loads). Writers allocate and run off
// the crash path; old copies are freed only after the new one is visible.
#include "crash/async_safe/scope_snapshot.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace skald::crash::scope {

namespace {

constexpr int kFieldCount = static_cast<int>(Field::Count);
constexpr int kMaxBreadcrumbs = 1000;

const char* const kFieldNames[kFieldCount] = {"user", "dist",  "context",     "environment",
                                              "tags", "extra", "fingerprint", "level"};

std::atomic<char*> gFields[kFieldCount];
std::atomic<char*> gBreadcrumbs[kMaxBreadcrumbs];
std::atomic<int> gCapacity{0};
std::atomic<int> gNextIndex{0};
// Writers from several threads would otherwise both free the same old copy;
// crash-time readers never take it.
std::mutex gWriteMutex;

char* copyOf(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t length = std::strlen(text);
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

void replace(std::atomic<char*>& slot, const char* text) {
    char* old = slot.exchange(copyOf(text));
    std::free(old);
}

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

void setField(Field field, const char* json) {
    const int index = static_cast<int>(field);
    if (index < 0 || index >= kFieldCount) return;
    const std::lock_guard lock(gWriteMutex);
    replace(gFields[index], json);
}

void setBreadcrumbCapacity(int capacity) {
    const std::lock_guard lock(gWriteMutex);
    if (capacity < 0) capacity = 0;
    if (capacity > kMaxBreadcrumbs) capacity = kMaxBreadcrumbs;
    gCapacity = 0;
    for (auto& slot : gBreadcrumbs) replace(slot, nullptr);
    gNextIndex = 0;
    gCapacity = capacity;
}

void addBreadcrumb(const char* json) {
    const std::lock_guard lock(gWriteMutex);
    const int capacity = gCapacity;
    if (capacity == 0) return;
    const int index = gNextIndex;
    replace(gBreadcrumbs[index], json);
    gNextIndex = (index + 1) % capacity;
}

void clearBreadcrumbs() {
    const std::lock_guard lock(gWriteMutex);
    for (int i = 0; i < gCapacity; ++i) replace(gBreadcrumbs[i], nullptr);
    gNextIndex = 0;
}

void clear() {
    for (int i = 0; i < kFieldCount; ++i) setField(static_cast<Field>(i), nullptr);
    clearBreadcrumbs();
}

}  // namespace skald::crash::scope
