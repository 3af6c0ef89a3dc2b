#pragma once

namespace skald {

class IntegrationRegistry;

/// Registers the integrations this SDK is built with, under their names.
/// The entry does it once, before the first hub installs its integrations.
void registerBuiltInIntegrations(IntegrationRegistry& registry);

}  // namespace skald
