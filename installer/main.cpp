// The Vantorel installer: downloads the current build, installs it into the
// Applications folder, launches it and quits.
//
//   "Vantorel Installer.app/Contents/MacOS/Vantorel Installer"
//       [--frontend=terminal|gtk|auto|scripted]
#include <cstring>
#include <memory>

#include "installer/app_delegate.h"
#include "installer/installer_settings.h"
#include "installer/view_controller.h"
#include "skald/app/application.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::puts("usage: \"Vantorel Installer\" [--frontend=terminal|gtk|auto|scripted]");
            return 0;
        }
    }
    auto settings = vantorel::InstallerSettings::fromEnvironment();
    skald::app::Application application(
        skald::app::frontendKindFromArguments(argc, argv, skald::app::FrontendKind::Terminal));
    application.mainWindow().setTitle("Vantorel Installer");
    application.mainWindow().label().setText("Downloading Vantorel...");
    auto controller = std::make_shared<vantorel::ViewController>(settings);
    application.mainWindow().setContentViewController(controller);
    vantorel::AppDelegate delegate(settings.dsn);
    return application.run(delegate);
}
