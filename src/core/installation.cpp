#include "core/installation.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "core/dependency_container.h"
#include "platform/base/utf8.h"
#include "platform/process/no_destructor.h"
#include "skald/id.h"
#include "skald/json.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/file_io.h"
#include "util/log.h"

namespace skald {

namespace {

// Ids we write have 36 characters; anything much longer is not one of ours.
constexpr uint64_t kMaxStoredIdBytes = 1024;

std::mutex& cacheMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unordered_map<std::string, std::string>& cache() {
    static platform::NoDestructor<std::unordered_map<std::string, std::string>> ids;
    return *ids;
}

/// The stored id. An empty, oversized or non-UTF-8 file counts as missing: it
/// would make a useless user id, or one that cannot be serialized. Whatever is
/// not a regular file under the name is removed rather than read.
std::optional<std::string> readStoredId(const std::string& path) {
    auto text = readOwnFile(path, kMaxStoredIdBytes);
    if (!text || text->empty() || !platform::isValidUtf8(*text)) {
        return std::nullopt;
    }
    return text;
}

}  // namespace

std::string Installation::id(const std::string& cacheDirectoryPath) {
    std::lock_guard guard(cacheMutex());
    if (const auto it = cache().find(cacheDirectoryPath); it != cache().end()) return it->second;

    const std::string path = (std::filesystem::path(cacheDirectoryPath) / "INSTALLATION").string();
    std::string installationId;
    if (auto stored = readStoredId(path)) {
        installationId = std::move(*stored);
    } else {
        installationId = Id().uuidString();
        std::error_code ec;
        std::filesystem::create_directories(cacheDirectoryPath, ec);
        std::string error;
        if (!writeFileAtomically(path, installationId, 0600, &error)) {
            SKALD_LOG_ERROR("Failed to store installationID file at path %s", path.c_str());
            SKALD_LOG_DEBUG("%s", error.c_str());
        }
    }
    cache().emplace(cacheDirectoryPath, installationId);
    return installationId;
}

void Installation::cacheIdAsync(const std::string& cacheDirectoryPath) {
    DependencyContainer::sharedInstance()->dispatchQueueWrapper()->dispatchAsync(
        [cacheDirectoryPath] { (void)id(cacheDirectoryPath); });
}

}  // namespace skald
