// Vantorel: the product the installer installs, as a small stand-in. It says
// who it is, leaves a trace a person or a test can find, shows a desktop
// notification where a desktop session exists, and stays up for a while.
//
//   stdout                          a banner with name, version, identifier
//   $XDG_DATA_HOME/Vantorel/app.log one line per start and stop
//   $XDG_DATA_HOME/Vantorel/launched  the last start: pid, bundle, arguments
//
// It runs VANTOREL_APP_LIFETIME seconds (default 10; 0: until SIGTERM, SIGINT
// or SIGHUP), so that "already running" can be seen and nothing lingers.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "skald/platform/bundle.h"
#include "skald/platform/task.h"
#include "skald/platform/paths.h"

namespace {

namespace fs = std::filesystem;

std::string now() {
    const std::time_t seconds = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

long lifetimeSeconds() {
    const char* value = std::getenv("VANTOREL_APP_LIFETIME");
    if (!value || !*value) return 10;
    char* end = nullptr;
    const long seconds = std::strtol(value, &end, 10);
    return *end == '\0' && seconds >= 0 ? seconds : 10;
}

void notifyDesktop(const std::string& text) {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string notifier = "/usr/bin/notify-send";
    if (!bus || !*bus || ::access(notifier.c_str(), X_OK) != 0) return;
    skald::platform::launchDetached(notifier, {"--app-name=Vantorel", "Vantorel", text});
}

}  // namespace

int main(int argc, char** argv) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    const auto bundle = skald::platform::Bundle::main();
    const std::string name = bundle->infoText("CFBundleName").value_or("Vantorel");
    const std::string version = bundle->infoText("CFBundleShortVersionString").value_or("?");
    const std::string identifier = bundle->bundleIdentifier().value_or("(no bundle)");
    std::string arguments;
    for (int i = 1; i < argc; ++i) arguments += std::string(i > 1 ? " " : "") + argv[i];

    std::cout << "==============================\n"
              << "  " << name << " " << version << "\n"
              << "  " << identifier << "\n"
              << "==============================" << std::endl;

    const fs::path data =
        fs::path(skald::platform::Paths::applicationSupportDirectory()) / "Vantorel";
    std::error_code ec;
    fs::create_directories(data, ec);
    const std::string pid = std::to_string(::getpid());
    std::ofstream(data / "app.log", std::ios::app)
        << now() << " started " << name << " " << version << " pid " << pid << " from "
        << bundle->bundlePath() << (arguments.empty() ? "" : " with " + arguments) << "\n";
    {
        // Written whole, then renamed: a reader never sees half of it.
        const fs::path marker = data / "launched";
        const fs::path partial = data / ("launched." + pid);
        std::ofstream(partial, std::ios::trunc)
            << "pid " << pid << "\nbundle " << bundle->bundlePath() << "\nversion " << version
            << "\narguments " << arguments << "\n";
        fs::rename(partial, marker, ec);
    }
    notifyDesktop(name + " " + version + " is running.");

    const long lifetime = lifetimeSeconds();
    int signal = 0;
    if (lifetime == 0) {
        sigwait(&stopSignals, &signal);
    } else {
        timespec timeout{lifetime, 0};
        siginfo_t info{};
        signal = sigtimedwait(&stopSignals, &info, &timeout);
        if (signal < 0) signal = 0;
    }
    std::ofstream(data / "app.log", std::ios::app)
        << now() << " stopped pid " << pid << (signal ? " by signal " + std::to_string(signal) : "")
        << "\n";
    return 0;
}
