#include "skald/private_sdk_only.h"

#include <atomic>
#include <mutex>

#include "core/client.h"
#include "core/debug_image_provider.h"
#include "core/dependency_container.h"
#include "core/profiling_hooks.h"
#include "util/current_date_provider.h"
#include "core/extra_context_provider.h"
#include "skald/hub.h"
#include "core/installation.h"
#include "skald/serialization.h"
#include "platform/process/no_destructor.h"
#include "skald/sdk.h"
#include "util/control_characters.h"
#include "util/log.h"
#include "util/meta.h"

namespace skald {

namespace {

std::mutex gCallbackMutex;
platform::NoDestructor<PrivateSDKOnly::AppStartMeasurementCallback> gOnAppStartMeasurementAvailable;
std::atomic<bool> gAppStartMeasurementHybridSDKMode{false};

void logNeedsUserInterfaceFramework(const char* operation) {
    SKALD_LOG_DEBUG(
        "PrivateSkaldSDKOnly.%s only works with UIKit enabled. Ensure you're using the right "
        "configuration of Skald that links UIKit.",
        operation);
}

}  // namespace

void PrivateSDKOnly::storeEnvelope(const std::shared_ptr<Envelope>& envelope) {
    SDK::storeEnvelope(envelope);
}

void PrivateSDKOnly::captureEnvelope(const std::shared_ptr<Envelope>& envelope) {
    SDK::captureEnvelope(envelope);
}

std::shared_ptr<Envelope> PrivateSDKOnly::envelopeWithData(std::string_view data) {
    return Serialization::envelopeWithData(data);
}

std::vector<std::shared_ptr<DebugMeta>> PrivateSDKOnly::getDebugImages() {
    return getDebugImagesCrashed(true);
}

std::vector<std::shared_ptr<DebugMeta>> PrivateSDKOnly::getDebugImagesCrashed(bool isCrash) {
    return DependencyContainer::sharedInstance()->debugImageProvider()->getDebugImages(isCrash);
}

std::shared_ptr<AppStartMeasurement> PrivateSDKOnly::appStartMeasurement() {
    return SDK::getAppStartMeasurement();
}

std::optional<Json> PrivateSDKOnly::appStartMeasurementWithSpans() {
    return std::nullopt;
}

std::string PrivateSDKOnly::installationID() {
    return Installation::id(options()->cacheDirectoryPath);
}

std::shared_ptr<Options> PrivateSDKOnly::options() {
    if (auto client = SDK::currentHub()->getClient()) return client->options();
    return std::make_shared<Options>();
}

PrivateSDKOnly::AppStartMeasurementCallback PrivateSDKOnly::onAppStartMeasurementAvailable() {
    std::lock_guard guard(gCallbackMutex);
    return *gOnAppStartMeasurementAvailable;
}

void PrivateSDKOnly::setOnAppStartMeasurementAvailable(AppStartMeasurementCallback callback) {
    std::lock_guard guard(gCallbackMutex);
    *gOnAppStartMeasurementAvailable = std::move(callback);
}

bool PrivateSDKOnly::appStartMeasurementHybridSDKMode() {
    return gAppStartMeasurementHybridSDKMode.load();
}

void PrivateSDKOnly::setAppStartMeasurementHybridSDKMode(bool enabled) {
    gAppStartMeasurementHybridSDKMode = enabled;
}

void PrivateSDKOnly::setSdkName(const std::string& name, const std::string& versionString) {
    // Both are sent in request headers, where a line break would start a header of its own.
    if (hasControlCharacters(name) || hasControlCharacters(versionString)) {
        SKALD_LOG_ERROR("The SDK name or version holds control characters; keeping the previous.");
        return;
    }
    Meta::setSdkName(name);
    Meta::setVersionString(versionString);
}

void PrivateSDKOnly::setSdkName(const std::string& name) {
    setSdkName(name, Meta::versionString());
}
std::string PrivateSDKOnly::getSdkName() {
    return Meta::sdkName();
}
std::string PrivateSDKOnly::getSdkVersionString() {
    return Meta::versionString();
}

Json PrivateSDKOnly::getExtraContext() {
    auto provider = DependencyContainer::sharedInstance()->extraContextProvider();
    return provider ? provider->getExtraContext() : Json::object();
}

std::optional<uint64_t> PrivateSDKOnly::startProfilerForTrace(const Id& traceId) {
    if (!ProfilingHooks::shared()->start(traceId)) return std::nullopt;
    return DependencyContainer::sharedInstance()->dateProvider()->systemTime();
}

std::optional<Json> PrivateSDKOnly::collectProfileBetween(uint64_t startSystemTime,
                                                          uint64_t endSystemTime,
                                                          const Id& traceId) {
    return ProfilingHooks::shared()->collectProfile(startSystemTime, endSystemTime, traceId);
}

void PrivateSDKOnly::discardProfilerForTrace(const Id& traceId) {
    ProfilingHooks::shared()->discard(traceId);
}

bool PrivateSDKOnly::framesTrackingMeasurementHybridSDKMode() {
    logNeedsUserInterfaceFramework("framesTrackingMeasurementHybridSDKMode");
    return false;
}

void PrivateSDKOnly::setFramesTrackingMeasurementHybridSDKMode(bool) {
    logNeedsUserInterfaceFramework("framesTrackingMeasurementHybridSDKMode");
}

bool PrivateSDKOnly::isFramesTrackingRunning() {
    logNeedsUserInterfaceFramework("isFramesTrackingRunning");
    return false;
}

std::optional<Json> PrivateSDKOnly::currentScreenFrames() {
    logNeedsUserInterfaceFramework("currentScreenFrames");
    return std::nullopt;
}

std::optional<std::vector<std::string>> PrivateSDKOnly::captureScreenshots() {
    logNeedsUserInterfaceFramework("captureScreenshots");
    return std::nullopt;
}

std::optional<std::string> PrivateSDKOnly::captureViewHierarchy() {
    logNeedsUserInterfaceFramework("captureViewHierarchy");
    return std::nullopt;
}

User PrivateSDKOnly::userWithDictionary(const Json& dictionary) {
    return User::fromDictionary(dictionary);
}

Breadcrumb PrivateSDKOnly::breadcrumbWithDictionary(const Json& dictionary) {
    return Breadcrumb::fromDictionary(dictionary);
}

}  // namespace skald
