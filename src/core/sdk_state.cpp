#include "core/sdk_state.h"

#include <atomic>
#include <mutex>

namespace skald {

namespace {
std::atomic<bool> gCrashedLastRunCalled{false};
std::atomic<bool> gDetectedStartUpCrash{false};
std::atomic<unsigned> gStartInvocations{0};
std::mutex gTimestampMutex;
std::optional<Date> gStartTimestamp;
}  // namespace

bool SdkState::markCrashedLastRunCalled() {
    return !gCrashedLastRunCalled.exchange(true);
}
bool SdkState::crashedLastRunCalled() {
    return gCrashedLastRunCalled.load();
}
void SdkState::resetCrashedLastRunCalled() {
    gCrashedLastRunCalled = false;
}

bool SdkState::detectedStartUpCrash() {
    return gDetectedStartUpCrash.load();
}
void SdkState::setDetectedStartUpCrash(bool detected) {
    gDetectedStartUpCrash = detected;
}

unsigned SdkState::startInvocations() {
    return gStartInvocations.load();
}
unsigned SdkState::incrementStartInvocations() {
    return ++gStartInvocations;
}

std::optional<Date> SdkState::startTimestamp() {
    std::lock_guard guard(gTimestampMutex);
    return gStartTimestamp;
}

void SdkState::setStartTimestamp(std::optional<Date> timestamp) {
    std::lock_guard guard(gTimestampMutex);
    gStartTimestamp = timestamp;
}

}  // namespace skald
