// The SDK's start: the one piece of the entry that knows which integrations
// the SDK is built with.
#include "skald/sdk.h"

#include <openssl/crypto.h>

#include <mutex>

#include "core/client.h"
#include "core/crash_wrapper.h"
#include "core/dependency_container.h"
#include "skald/hub.h"
#include "core/integration.h"
#include "core/sdk_state.h"
#include "persistence/file_manager.h"
#include "skald/platform/main_queue.h"
#include "platform/process/process_exit.h"
#include "profiling/launch_profile.h"
#include "profiling/profiling_hooks_impl.h"
#include "sdk/built_in_integrations.h"
#include "skald/scope.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/log.h"
#include "util/meta.h"

namespace skald {

void SDK::startWithConfigureOptions(const std::function<void(Options&)>& configure) {
    auto options = std::make_shared<Options>();
    if (configure) configure(*options);
    startWithOptions(std::move(options));
}

void SDK::startWithOptions(std::shared_ptr<Options> options) {
    if (!options) {
        SKALD_LOG_ERROR("Not starting the SDK: the options are null.");
        return;
    }
    SdkState::setStartOptions(options);
    Log::configure(options->debug, options->diagnosticLevel);
    SKALD_LOG_DEBUG("Starting SDK...");
    profiling::installProfilingHooks();

    auto container = DependencyContainer::sharedInstance();
    SdkState::incrementStartInvocations();
    SdkState::setStartTimestamp(container->dateProvider()->date());

    auto client = Client::make(options);
    // The SDK's threads must be parked before OpenSSL's own exit cleanup
    // runs: initialise it first, so that its handler runs after ours.
    OPENSSL_init_crypto(0, nullptr);
    platform::ProcessExit::install();
    if (client) {
        // The previous run's state stays readable for crash and watchdog analysis.
        client->fileManager()->moveAppStateToPreviousAppState();
        client->fileManager()->moveBreadcrumbsToPreviousBreadcrumbs();
    }

    auto scope = std::make_shared<Scope>(options->maxBreadcrumbs);
    if (options->initialScope) {
        if (auto adjusted = options->initialScope(scope)) scope = std::move(adjusted);
    }

    SKALD_LOG_DEBUG("Dispatching init work required to run on main thread.");
    static std::once_flag builtIns;
    std::call_once(builtIns, [] { registerBuiltInIntegrations(IntegrationRegistry::shared()); });

    auto mainThreadInit = [client, scope, container] {
        SKALD_LOG_DEBUG("SDK main thread init started...");
        auto hub = std::make_shared<Hub>(client, scope);
        setCurrentHub(hub);
        if (auto crashWrapper = container->crashWrapper()) crashWrapper->startBinaryImageCache();
        hub->installIntegrations();
        // No automatic trace takes the launch profile over on this platform.
        if (profiling::hasLaunchTracer()) {
            SKALD_LOG_DEBUG(
                "Stopping launch profile in SkaldSDK.start because there will be no automatic "
                "trace to attach it to.");
            profiling::stopLaunchProfile(hub);
        }
        if (auto options = client ? client->options() : nullptr) {
            container->dispatchQueueWrapper()->dispatchAsync(
                [options] { profiling::configureLaunchProfiling(*options); });
        }
    };
    // On the main thread the work runs now, also inside a running loop: crash
    // handling and the previous run's crash state must be in place when start
    // returns.
    if (platform::MainQueue::isMainThread()) {
        mainThreadInit();
    } else {
        container->dispatchQueueWrapper()->dispatchAsyncOnMainQueue(std::move(mainThreadInit));
    }
    SKALD_LOG_DEBUG("SDK initialized! Version: %s", Meta::versionString().c_str());
}

}  // namespace skald
