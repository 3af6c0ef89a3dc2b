#include "integrations/file_io_tracking_integration.h"

#include "integrations/file_io_tracker.h"

namespace skald {

bool FileIOTrackingIntegration::installWithOptions(const Options& options) {
    if (!BaseIntegration::installWithOptions(options)) return false;
    FileIOTracker::shared()->enable();
    return true;
}

void FileIOTrackingIntegration::uninstall() {
    FileIOTracker::shared()->disable();
}

}  // namespace skald
