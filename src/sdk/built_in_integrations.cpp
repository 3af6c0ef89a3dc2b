#include "sdk/built_in_integrations.h"

#include <memory>

#include "core/integration.h"
#include "integrations/anr_tracking_integration.h"
#include "integrations/auto_breadcrumb_tracking_integration.h"
#include "integrations/auto_session_tracking_integration.h"
#include "integrations/core_data_tracking_integration.h"
#include "integrations/crash_integration.h"
#include "integrations/diagnostics/metric_kit_integration.h"
#include "integrations/file_io_tracking_integration.h"
#include "integrations/network_tracking_integration.h"

namespace skald {

void registerBuiltInIntegrations(IntegrationRegistry& registry) {
    registry.registerIntegration(CrashIntegration::kName,
                                 [] { return std::make_shared<CrashIntegration>(); });
    registry.registerIntegration(ANRTrackingIntegration::kName,
                                 [] { return std::make_shared<ANRTrackingIntegration>(); });
    registry.registerIntegration(AutoBreadcrumbTrackingIntegration::kName, [] {
        return std::make_shared<AutoBreadcrumbTrackingIntegration>();
    });
    registry.registerIntegration(CoreDataTrackingIntegration::kName,
                                 [] { return std::make_shared<CoreDataTrackingIntegration>(); });
    registry.registerIntegration(FileIOTrackingIntegration::kName,
                                 [] { return std::make_shared<FileIOTrackingIntegration>(); });
    registry.registerIntegration(NetworkTrackingIntegration::kName,
                                 [] { return std::make_shared<NetworkTrackingIntegration>(); });
    registry.registerIntegration(AutoSessionTrackingIntegration::kName,
                                 [] { return std::make_shared<AutoSessionTrackingIntegration>(); });
    registry.registerIntegration(MetricKitIntegration::kName,
                                 [] { return std::make_shared<MetricKitIntegration>(); });
}

}  // namespace skald
