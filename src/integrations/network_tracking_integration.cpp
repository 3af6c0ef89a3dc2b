#include "integrations/network_tracking_integration.h"

#include "integrations/network_tracker.h"
#include "skald/options.h"
#include "util/log.h"

namespace skald {

bool NetworkTrackingIntegration::installWithOptions(const Options& options) {
    if (!options.enableSwizzling) {
        SKALD_LOG_DEBUG("Not going to enable %s because enableSwizzling is disabled.", kName);
        return false;
    }
    auto tracker = NetworkTracker::shared();
    if (shouldBeEnabledWithOptions(options)) tracker->enableNetworkTracking();
    if (options.enableNetworkBreadcrumbs) tracker->enableNetworkBreadcrumbs();
    if (options.enableCaptureFailedRequests) tracker->enableCaptureFailedRequests();
    if (options.enableGraphQLOperationTracking) tracker->enableGraphQLOperationTracking();
    if (!tracker->isNetworkTrackingEnabled() && !tracker->isNetworkBreadcrumbEnabled() &&
        !tracker->isCaptureFailedRequestsEnabled()) {
        return false;
    }
    tracker->install();
    return true;
}

void NetworkTrackingIntegration::uninstall() {
    NetworkTracker::shared()->disable();
}

}  // namespace skald
