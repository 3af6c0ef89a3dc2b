#include "integrations/core_data_tracking_integration.h"

#include "integrations/object_store/core_data_tracker.h"

namespace skald {

CoreDataTrackingIntegration::CoreDataTrackingIntegration() : BaseIntegration(kName) {}

CoreDataTrackingIntegration::~CoreDataTrackingIntegration() = default;

bool CoreDataTrackingIntegration::installWithOptions(const Options& options) {
    if (!BaseIntegration::installWithOptions(options)) return false;
    tracker_ = std::make_shared<CoreDataTracker>();
    store::detail::setContextInterceptor(tracker_);
    return true;
}

void CoreDataTrackingIntegration::uninstall() {
    // Only its own tracker: a later install by another hub stays in place.
    if (tracker_) store::detail::removeContextInterceptor(tracker_);
    tracker_.reset();
}

}  // namespace skald
