#include "integrations/anr_tracking_integration.h"

#include "core/client.h"
#include "core/dependency_container.h"
#include "core/thread_inspector.h"
#include "skald/event.h"
#include "skald/exception.h"
#include "skald/hub.h"
#include "skald/mechanism.h"
#include "skald/options.h"
#include "skald/sdk.h"
#include "skald/stacktrace.h"
#include "skald/thread.h"
#include "util/log.h"

namespace skald {

ANRTrackingIntegration::ANRTrackingIntegration() : BaseIntegration(kName) {}

ANRTrackingIntegration::~ANRTrackingIntegration() {
    if (tracker_) tracker_->removeListener(this);
}

bool ANRTrackingIntegration::installWithOptions(const Options& options) {
    if (!BaseIntegration::installWithOptions(options)) return false;
    // The tracker holds its listeners weakly: only a shared integration can be one.
    const auto self = weak_from_this().lock();
    if (!self) {
        SKALD_LOG_ERROR("%s must be made with std::make_shared to be installed.", kName);
        return false;
    }
    timeoutInterval_ = options.appHangTimeoutInterval;
    tracker_ = DependencyContainer::sharedInstance()->getANRTracker(timeoutInterval_);
    reportAppHangs_ = true;
    tracker_->addListener(self);
    return true;
}

void ANRTrackingIntegration::uninstall() {
    if (tracker_) tracker_->removeListener(this);
}

void ANRTrackingIntegration::anrDetected() {
    if (!reportAppHangs_) {
        SKALD_LOG_DEBUG("AppHangTracking paused. Ignoring reported app hang.");
        return;
    }
    const auto client = SDK::currentHub()->getClient();
    const auto inspector = client ? client->threadInspector()
                                  : DependencyContainer::sharedInstance()->threadInspector();
    auto threads = inspector->getCurrentThreadsWithStackTrace();
    if (threads.empty()) {
        SKALD_LOG_WARNING(
            "Getting current thread returned an empty list. Can't create AppHang event without a "
            "stacktrace.");
        return;
    }

    auto event = std::make_shared<Event>(Level::Error);
    const long millis = static_cast<long>(timeoutInterval_ * 1000);
    auto exception = std::make_shared<Exception>(
        "App hanging for at least " + std::to_string(millis) + " ms.", "App Hanging");
    exception->mechanism = std::make_shared<Mechanism>("AppHang");
    if (threads[0]->stacktrace) {
        exception->stacktrace = std::make_shared<Stacktrace>(*threads[0]->stacktrace);
        exception->stacktrace->snapshot = true;
    }
    event->exceptions = {exception};
    for (size_t i = 0; i < threads.size(); ++i) threads[i]->current = i == 0;
    event->threads = std::move(threads);
    SDK::captureEvent(event);
}

}  // namespace skald
