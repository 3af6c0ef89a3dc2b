#include "sdk/built_in_integrations.h"

#include <memory>

#include "core/integration.h"
#include "integrations/crash_integration.h"

namespace skald {

void registerBuiltInIntegrations(IntegrationRegistry& registry) {
    registry.registerIntegration(CrashIntegration::kName,
                                 [] { return std::make_shared<CrashIntegration>(); });
}

}  // namespace skald
