#include "crash/recording/crash_snapshot_setters.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "crash/async_safe/report_writer.h"

namespace skald::crash {

namespace {

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

// The new copy is visible before the old one is freed.
void replaceField(scope::Field field, const char* text) {
    std::free(scope::exchangeField(field, copyOf(text)));
}

void replaceBreadcrumb(int index, const char* text) {
    std::free(scope::exchangeBreadcrumb(index, copyOf(text)));
}

int gCapacity = 0;
int gNextIndex = 0;

}  // namespace

namespace scope {

void setField(Field field, const char* json) {
    const std::lock_guard lock(gWriteMutex);
    replaceField(field, json);
}

void setBreadcrumbCapacity(int capacity) {
    const std::lock_guard lock(gWriteMutex);
    if (capacity < 0) capacity = 0;
    if (capacity > kMaxBreadcrumbs) capacity = kMaxBreadcrumbs;
    setBreadcrumbRing(0, 0);
    for (int i = 0; i < kMaxBreadcrumbs; ++i) replaceBreadcrumb(i, nullptr);
    gCapacity = capacity;
    gNextIndex = 0;
    setBreadcrumbRing(capacity, 0);
}

void addBreadcrumb(const char* json) {
    const std::lock_guard lock(gWriteMutex);
    if (gCapacity == 0) return;
    replaceBreadcrumb(gNextIndex, json);
    gNextIndex = (gNextIndex + 1) % gCapacity;
    setBreadcrumbRing(gCapacity, gNextIndex);
}

void clearBreadcrumbs() {
    const std::lock_guard lock(gWriteMutex);
    for (int i = 0; i < gCapacity; ++i) replaceBreadcrumb(i, nullptr);
    gNextIndex = 0;
    setBreadcrumbRing(gCapacity, 0);
}

void clear() {
    for (int i = 0; i < static_cast<int>(Field::Count); ++i)
        setField(static_cast<Field>(i), nullptr);
    clearBreadcrumbs();
}

}  // namespace scope

namespace writer {

void setUserInfoJSON(const char* json) {
    const std::lock_guard lock(gWriteMutex);
    std::free(exchangeUserInfoJSON(copyOf(json)));
}

}  // namespace writer

}  // namespace skald::crash
