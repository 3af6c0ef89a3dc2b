#include "skald/sdk.h"

#include <mutex>

#include "core/app_hang_control.h"
#include "core/client.h"
#include "core/crash_wrapper.h"
#include "core/dependency_container.h"
#include "core/profiling_hooks.h"
#include "core/integration.h"
#include "core/tracing/tracer.h"
#include "core/sdk_state.h"
#include "crash/recording/binary_image_cache.h"
#include "persistence/file_manager.h"
#include "platform/process/process_exit.h"
#include "skald/breadcrumb.h"
#include "skald/hub.h"
#include "skald/platform/main_queue.h"
#include "skald/private_sdk_only.h"
#include "skald/scope.h"
#include "skald/span.h"
#include "skald/user.h"
#include "skald/user_feedback.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/log.h"
#include "util/meta.h"

namespace skald {

namespace {

// The SDK's class-wide state lives as long as the process: a hub destroyed
// by exit would join its queues' threads while they may still be working.
struct SdkGlobals {
    std::mutex hubMutex;
    std::shared_ptr<Hub> currentHub;
    std::mutex measurementMutex;
    std::shared_ptr<AppStartMeasurement> appStartMeasurement;
};

SdkGlobals& globals() {
    static auto* instance = new SdkGlobals;
    return *instance;
}

std::shared_ptr<Scope> copyOfHubScope(const ScopeBlock& block) {
    auto copy = std::make_shared<Scope>(*SDK::currentHub()->scope());
    if (block) block(*copy);
    return copy;
}

constexpr const char* kContinuousProfilingWarning =
    "You must disable trace profiling by setting SkaldOptions.profilesSampleRate and "
    "SkaldOptions.profilesSampler to nil (which is the default initial value for both "
    "properties, so you can also just remove those lines from your configuration altogether) "
    "before attempting to %s a continuous profiling session.";

}  // namespace

bool SDK::isEnabled() {
    std::lock_guard guard(globals().hubMutex);
    return globals().currentHub && globals().currentHub->getClient() != nullptr;
}

std::shared_ptr<Hub> SDK::currentHub() {
    std::lock_guard guard(globals().hubMutex);
    if (!globals().currentHub) globals().currentHub = std::make_shared<Hub>(nullptr, nullptr);
    return globals().currentHub;
}

void SDK::setCurrentHub(std::shared_ptr<Hub> hub) {
    std::lock_guard guard(globals().hubMutex);
    globals().currentHub = std::move(hub);
}

std::shared_ptr<Options> SDK::options() {
    return SdkState::startOptions();
}

std::shared_ptr<Span> SDK::span() {
    return currentHub()->scope()->span();
}

std::shared_ptr<MetricsAPI> SDK::metrics() {
    return currentHub()->metrics();
}

Id SDK::captureEvent(std::shared_ptr<Event> event) {
    return currentHub()->captureEvent(std::move(event));
}
Id SDK::captureEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope) {
    return currentHub()->captureEvent(std::move(event), scope);
}
Id SDK::captureEvent(std::shared_ptr<Event> event, const ScopeBlock& block) {
    return captureEvent(std::move(event), copyOfHubScope(block));
}

Id SDK::captureError(const Error& error) {
    return currentHub()->captureError(error);
}
Id SDK::captureError(const Error& error, const std::shared_ptr<Scope>& scope) {
    return currentHub()->captureError(error, scope);
}
Id SDK::captureError(const Error& error, const ScopeBlock& block) {
    return captureError(error, copyOfHubScope(block));
}

Id SDK::captureException(const ExceptionObject& exception) {
    return currentHub()->captureException(exception);
}
Id SDK::captureException(const ExceptionObject& exception, const std::shared_ptr<Scope>& scope) {
    return currentHub()->captureException(exception, scope);
}
Id SDK::captureException(const ExceptionObject& exception, const ScopeBlock& block) {
    return captureException(exception, copyOfHubScope(block));
}

Id SDK::captureMessage(const std::string& message) {
    return currentHub()->captureMessage(message);
}
Id SDK::captureMessage(const std::string& message, const std::shared_ptr<Scope>& scope) {
    return currentHub()->captureMessage(message, scope);
}
Id SDK::captureMessage(const std::string& message, const ScopeBlock& block) {
    return captureMessage(message, copyOfHubScope(block));
}

void SDK::captureCrashEvent(std::shared_ptr<Event> event) {
    currentHub()->captureCrashEvent(std::move(event));
}
void SDK::captureCrashEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope) {
    currentHub()->captureCrashEvent(std::move(event), scope);
}
void SDK::captureEnvelope(const std::shared_ptr<Envelope>& envelope) {
    currentHub()->captureEnvelope(envelope);
}
void SDK::storeEnvelope(const std::shared_ptr<Envelope>& envelope) {
    currentHub()->storeEnvelope(envelope);
}
void SDK::captureUserFeedback(const UserFeedback& feedback) {
    currentHub()->captureUserFeedback(feedback);
}

void SDK::addBreadcrumb(std::shared_ptr<Breadcrumb> crumb) {
    currentHub()->addBreadcrumb(std::move(crumb));
}
void SDK::configureScope(const std::function<void(Scope&)>& callback) {
    currentHub()->configureScope(callback);
}
void SDK::setUser(std::shared_ptr<User> user) {
    currentHub()->setUser(std::move(user));
}

std::shared_ptr<Span> SDK::startTransaction(const std::string& name, const std::string& operation,
                                            bool bindToScope) {
    return currentHub()->startTransaction(name, operation, bindToScope);
}

std::shared_ptr<Span> SDK::startTransaction(const TransactionContext& context, bool bindToScope,
                                            const std::optional<Json>& customSamplingContext) {
    return currentHub()->startTransaction(context, bindToScope, customSamplingContext);
}

bool SDK::crashedLastRun() {
    auto crashWrapper = DependencyContainer::sharedInstance()->crashWrapper();
    return crashWrapper && crashWrapper->crashedLastLaunch();
}

void SDK::startSession() {
    currentHub()->startSession();
}
void SDK::endSession() {
    currentHub()->endSession();
}

void SDK::reportFullyDisplayed() {
    auto tracer = Tracer::getTracer(currentHub()->getCurrentSpan());
    if (!tracer || tracer->isFinished()) {
        SKALD_LOG_DEBUG("No transaction is bound to the scope: nothing is fully displayed.");
        return;
    }
    // From the transaction's start to now, as a span and a measurement.
    auto span = tracer->startChild("ui.load.full_display", tracer->transactionName());
    if (auto impl = std::dynamic_pointer_cast<SpanImpl>(span)) {
        if (auto start = tracer->startTimestamp()) impl->setStartTimestamp(*start);
    }
    span->finish();
    if (auto start = tracer->startTimestamp(); start && span->timestamp()) {
        const double millis =
            std::chrono::duration<double, std::milli>(*span->timestamp() - *start).count();
        tracer->setMeasurement("time_to_full_display", millis,
                               MeasurementUnit::Duration::millisecond());
    }
}
void SDK::pauseAppHangTracking() {
    if (auto control = currentHub()->getInstalledIntegration<AppHangControl>())
        control->pauseAppHangTracking();
}
void SDK::resumeAppHangTracking() {
    if (auto control = currentHub()->getInstalledIntegration<AppHangControl>())
        control->resumeAppHangTracking();
}

void SDK::flush(double timeoutSeconds) {
    currentHub()->flush(timeoutSeconds);
}

void SDK::close() {
    SKALD_LOG_DEBUG("Starting to close SDK.");
    // Its last chunk goes out while the client can still send it.
    ProfilingHooks::shared()->closeContinuousProfiler();
    SdkState::setStartTimestamp(std::nullopt);
    auto hub = currentHub();
    hub->removeAllIntegrations();
    SKALD_LOG_DEBUG("Uninstalled all integrations.");
    hub->close();
    hub->bindClient(nullptr);
    setCurrentHub(nullptr);
    auto container = DependencyContainer::sharedInstance();
    if (auto crashWrapper = container->crashWrapper()) crashWrapper->stopBinaryImageCache();
    DependencyContainer::reset();
    SKALD_LOG_DEBUG("SDK closed!");
}

void SDK::crash() {
    __builtin_trap();
}

namespace {
// The running client's options, which decide about profiling.
std::shared_ptr<Options> clientOptions() {
    auto client = SDK::currentHub()->getClient();
    return client ? client->options() : nullptr;
}
}  // namespace

void SDK::startProfiler() {
    auto opts = clientOptions();
    if (opts && !opts->isContinuousProfilingEnabled()) {
        SKALD_LOG_WARNING(kContinuousProfilingWarning, "start");
        return;
    }
    ProfilingHooks::shared()->startContinuousProfiler();
}

void SDK::stopProfiler() {
    auto opts = clientOptions();
    if (opts && !opts->isContinuousProfilingEnabled()) {
        SKALD_LOG_WARNING(kContinuousProfilingWarning, "stop");
        return;
    }
    ProfilingHooks::shared()->stopContinuousProfiler();
}

void SDK::setAppStartMeasurement(std::shared_ptr<AppStartMeasurement> measurement) {
    {
        std::lock_guard guard(globals().measurementMutex);
        globals().appStartMeasurement = measurement;
    }
    if (auto callback = PrivateSDKOnly::onAppStartMeasurementAvailable()) callback(measurement);
}

std::shared_ptr<AppStartMeasurement> SDK::getAppStartMeasurement() {
    std::lock_guard guard(globals().measurementMutex);
    return globals().appStartMeasurement;
}

unsigned SDK::startInvocations() {
    return SdkState::startInvocations();
}

}  // namespace skald
