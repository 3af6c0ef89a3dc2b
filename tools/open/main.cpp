// skald-open: the desktop's "open" command on Linux for what the installer
// needs. "open -a APP" starts the executable of the application bundle APP
// (APP/Contents/MacOS/<CFBundleExecutable>) detached from us, in a session of
// its own, and returns at once, as the real tool does. Never run the Linux
// /usr/bin/open for this: on Debian that is openvt.
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "skald/platform/bundle.h"
#include "skald/platform/task.h"
#include "skald/platform/tool_paths.h"
#include "skald/platform/workspace.h"

namespace {

namespace fs = std::filesystem;
using skald::platform::Bundle;
using skald::platform::Workspace;

int usage() {
    std::cerr << "usage: skald-open -a APPLICATION [FILE-OR-URL ...] [--args ARG ...]\n"
                 "       skald-open -b BUNDLE-IDENTIFIER [FILE-OR-URL ...] [--args ARG ...]\n"
                 "       skald-open FILE-OR-URL ...\n"
                 "APPLICATION is the path of a Name.app bundle, or a name looked up in\n"
                 "/Applications and ~/Applications.\n";
    return 2;
}

/// The bundle for "-a": a path, or an application's name in the usual folders.
std::optional<std::string> findApplication(const std::string& name) {
    std::error_code ec;
    if (name.find('/') != std::string::npos || fs::is_directory(name, ec)) {
        if (fs::is_directory(name, ec)) return fs::absolute(name, ec).lexically_normal().string();
        return std::nullopt;
    }
    const std::string file = name.ends_with(".app") ? name : name + ".app";
    for (const auto& dir : Workspace::applicationDirectories()) {
        const fs::path candidate = fs::path(dir) / file;
        if (fs::is_directory(candidate, ec)) return candidate.string();
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::optional<std::string> application;
    std::optional<std::string> bundleIdentifier;
    std::vector<std::string> operands;
    std::vector<std::string> passed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-a" || arg == "-b") {
            if (i + 1 >= args.size()) return usage();
            (arg == "-a" ? application : bundleIdentifier) = args[++i];
        } else if (arg == "--args") {
            passed.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        } else if (arg == "-n" || arg == "-g" || arg == "-j") {
            // New instance, background, hidden: every launch here is all three.
        } else if (!arg.empty() && arg[0] == '-') {
            std::cerr << "skald-open: unknown option \"" << arg << "\"\n";
            return usage();
        } else {
            operands.push_back(arg);
        }
    }

    std::optional<std::string> bundlePath;
    if (application) {
        bundlePath = findApplication(*application);
        if (!bundlePath) {
            std::cerr << "Unable to find application named '" << *application << "'\n";
            return 1;
        }
    } else if (bundleIdentifier) {
        bundlePath = Workspace::applicationPathForBundleIdentifier(*bundleIdentifier);
        if (!bundlePath) {
            std::cerr << "Unable to find application with identifier '" << *bundleIdentifier
                      << "'\n";
            return 1;
        }
    }

    if (!bundlePath) {
        if (operands.empty()) return usage();
        const std::string opener = skald::platform::ToolPaths::urlOpenerPath();
        for (const auto& operand : operands) {
            if (auto error = skald::platform::launchDetached(opener, {operand}).error) {
                std::cerr << "skald-open: " << error->localizedDescription << "\n";
                return 1;
            }
        }
        return 0;
    }

    const auto bundle = Bundle::atPath(*bundlePath);
    if (!bundle || !bundle->infoDictionary()) {
        std::cerr << "skald-open: " << *bundlePath
                  << " is not an application bundle (no Contents/Info.plist)\n";
        return 1;
    }
    if (!bundle->executablePath()) {
        std::cerr << "skald-open: " << *bundlePath
                  << " has no executable (CFBundleExecutable in Contents/MacOS)\n";
        return 1;
    }
    std::vector<std::string> arguments = operands;
    arguments.insert(arguments.end(), passed.begin(), passed.end());
    const auto launch = skald::platform::launchDetached(*bundle->executablePath(), arguments);
    if (launch.error) {
        std::cerr << "skald-open: " << launch.error->localizedDescription << "\n";
        return 1;
    }
    return 0;
}
