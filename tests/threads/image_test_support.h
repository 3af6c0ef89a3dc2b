#pragma once

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "crash/async_safe/binary_images.h"
#include "crash/recording/binary_image_list.h"

namespace skald::test {

inline std::string executablePath() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

/// The build-id as binutils reads it from the file, in lower-case hex.
inline std::optional<std::string> buildIdFromReadelf(const std::string& path) {
    const std::string command = "readelf -n '" + path + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::optional<std::string> result;
    std::array<char, 512> line;
    while (std::fgets(line.data(), line.size(), pipe) != nullptr) {
        const std::string text(line.data());
        const size_t at = text.find("Build ID: ");
        if (at == std::string::npos) continue;
        std::string id = text.substr(at + 10);
        while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
        result = id;
        break;
    }
    ::pclose(pipe);
    return result;
}

inline std::string hexBytes(const uint8_t* bytes, size_t length) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof(pair), "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

/// A copy of the table's record named `name`, refreshed first.
inline std::optional<crash::BinaryImage> imageNamed(const std::string& name) {
    crash::BinaryImageList::refresh();
    std::optional<crash::BinaryImage> found;
    crash::BinaryImageList::iterate([&](const crash::BinaryImage& image) {
        if (!found && image.name != nullptr && name == image.name) found = image;
    });
    return found;
}

/// A system library that this process has not loaded yet, opened; its handle
/// and the path the loader gave it. Empty when none is installed.
struct OpenedLibrary {
    void* handle = nullptr;
    std::string path;
    /// Where the library is mapped (a shared library is linked at 0).
    uintptr_t address = 0;
};

inline std::optional<OpenedLibrary> openUnloadedSystemLibrary() {
    for (const char* name :
         {"libbz2.so.1.0", "libexpat.so.1", "libuuid.so.1", "liblz4.so.1", "libz.so.1"}) {
        if (void* loaded = ::dlopen(name, RTLD_NOW | RTLD_NOLOAD)) {
            ::dlclose(loaded);
            continue;
        }
        void* handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) continue;
        link_map* map = nullptr;
        if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
            ::dlclose(handle);
            continue;
        }
        return OpenedLibrary{handle, map->l_name, map->l_addr};
    }
    return std::nullopt;
}

}  // namespace skald::test
