#include "core/sdk_state.h"

#include <atomic>
#include <mutex>

#include "platform/process/no_destructor.h"

namespace skald {

namespace {
std::atomic<bool> gCrashedLastRunCalled{false};
std::atomic<bool> gDetectedStartUpCrash{false};
std::atomic<unsigned> gStartInvocations{0};
std::mutex gTimestampMutex;
std::optional<Date> gStartTimestamp;
std::mutex gOptionsMutex;
// Never destroyed: read by SDK threads that may run while the process exits.
platform::NoDestructor<std::shared_ptr<Options>> gStartOptions;
}  // namespace

std::shared_ptr<Options> SdkState::startOptions() {
    std::lock_guard guard(gOptionsMutex);
    return *gStartOptions;
}

void SdkState::setStartOptions(std::shared_ptr<Options> options) {
    std::lock_guard guard(gOptionsMutex);
    *gStartOptions = std::move(options);
}

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
