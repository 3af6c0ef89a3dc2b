#include "installer/installer_settings.h"

#include <cstdlib>

#include "skald/platform/paths.h"

namespace vantorel {

namespace {
std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') return std::nullopt;
    return std::string(value);
}
}  // namespace

InstallerSettings InstallerSettings::fromEnvironment() {
    InstallerSettings settings;
    settings.developmentOrigin = environment("VANTOREL_DEV_DOWNLOAD_ORIGIN");
    if (auto dsn = environment("VANTOREL_DEV_DSN")) settings.dsn = *dsn;
    if (auto folder = environment("VANTOREL_DEV_APPLICATIONS_DIR"))
        settings.applicationsFolder = *folder;
    // Lets runs side by side tell their own product from another run's.
    if (auto identifier = environment("VANTOREL_DEV_PRODUCT_IDENTIFIER"))
        settings.productBundleIdentifier = *identifier;
    settings.homeDirectory = skald::platform::Paths::homeDirectory();
    settings.applicationSupportDirectory = skald::platform::Paths::applicationSupportDirectory();
    settings.temporaryDirectory = skald::platform::Paths::temporaryDirectory();
    return settings;
}

}  // namespace vantorel
