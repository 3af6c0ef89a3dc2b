#include "platform/process/thread_ids.h"

#include <dirent.h>

#include <charconv>
#include <cstring>

namespace skald::platform {

std::vector<pid_t> processThreadIds() {
    std::vector<pid_t> ids;
    DIR* directory = ::opendir("/proc/self/task");
    if (directory == nullptr) return ids;
    while (const dirent* entry = ::readdir(directory)) {
        const char* name = entry->d_name;
        pid_t id = 0;
        const auto [end, error] = std::from_chars(name, name + std::strlen(name), id);
        if (error == std::errc{} && *end == '\0' && id > 0) ids.push_back(id);
    }
    ::closedir(directory);
    return ids;
}

}  // namespace skald::platform
