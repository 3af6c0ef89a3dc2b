#include "integrations/crash_integration.h"
#include "integrations/integration.h"

namespace skald {

void registerBuiltInIntegrations(IntegrationRegistry& registry) {
    registry.registerIntegration(CrashIntegration::kName,
                                 [] { return std::make_shared<CrashIntegration>(); });
}

}  // namespace skald
