#include "skald/platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace skald::platform {

namespace {

// XDG says relative values are invalid and must be ignored.
std::string absoluteEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return {};
    return value;
}

}  // namespace

std::string Paths::homeDirectory() {
    if (auto home = absoluteEnv("HOME"); !home.empty()) return home;
    struct passwd entry {};
    struct passwd* result = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &result) == 0 && result &&
        result->pw_dir && result->pw_dir[0] == '/') {
        return result->pw_dir;
    }
    return "/";
}

std::string Paths::cachesDirectory() {
    if (auto dir = absoluteEnv("XDG_CACHE_HOME"); !dir.empty()) return dir;
    return homeDirectory() + "/.cache";
}

std::string Paths::applicationSupportDirectory() {
    if (auto dir = absoluteEnv("XDG_DATA_HOME"); !dir.empty()) return dir;
    return homeDirectory() + "/.local/share";
}

std::string Paths::temporaryDirectory() {
    if (auto dir = absoluteEnv("TMPDIR"); !dir.empty()) return dir;
    return "/tmp";
}

}  // namespace skald::platform
