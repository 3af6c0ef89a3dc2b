#include "integrations/auto_breadcrumb_tracking_integration.h"

#include "core/dependency_container.h"
#include "integrations/breadcrumb_tracker.h"
#include "skald/breadcrumb.h"
#include "skald/platform/notification_center.h"
#include "skald/sdk.h"

namespace skald {

AutoBreadcrumbTrackingIntegration::AutoBreadcrumbTrackingIntegration() : BaseIntegration(kName) {}

AutoBreadcrumbTrackingIntegration::~AutoBreadcrumbTrackingIntegration() {
    if (tracker_) tracker_->stop();
}

bool AutoBreadcrumbTrackingIntegration::installWithOptions(const Options& options) {
    if (!BaseIntegration::installWithOptions(options)) return false;
    installWithTracker(
        std::make_shared<BreadcrumbTracker>(platform::NotificationCenter::defaultCenter(),
                                            DependencyContainer::sharedInstance()->reachability()));
    return true;
}

void AutoBreadcrumbTrackingIntegration::installWithTracker(
    std::shared_ptr<BreadcrumbTracker> tracker) {
    tracker_ = std::move(tracker);
    // Through the SDK: beforeBreadcrumb and the scope's limit apply.
    tracker_->start(
        [](std::shared_ptr<Breadcrumb> crumb) { SDK::addBreadcrumb(std::move(crumb)); });
}

void AutoBreadcrumbTrackingIntegration::uninstall() {
    if (tracker_) tracker_->stop();
}

}  // namespace skald
