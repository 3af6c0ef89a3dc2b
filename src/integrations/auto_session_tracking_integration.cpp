#include "integrations/auto_session_tracking_integration.h"

#include "integrations/session_tracker.h"
#include "skald/options.h"
#include "skald/platform/notification_center.h"

namespace skald {

AutoSessionTrackingIntegration::AutoSessionTrackingIntegration() : BaseIntegration(kName) {}

AutoSessionTrackingIntegration::~AutoSessionTrackingIntegration() = default;

bool AutoSessionTrackingIntegration::installWithOptions(const Options& options) {
    if (!BaseIntegration::installWithOptions(options)) return false;
    tracker_ = std::make_unique<SessionTracker>(options.sessionTrackingIntervalMillis,
                                                platform::NotificationCenter::defaultCenter());
    tracker_->start();
    return true;
}

void AutoSessionTrackingIntegration::uninstall() {
    if (tracker_) tracker_->stop();
    tracker_.reset();
}

}  // namespace skald
