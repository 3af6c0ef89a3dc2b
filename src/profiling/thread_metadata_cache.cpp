#include "profiling/thread_metadata_cache.h"

#include <algorithm>

namespace skald::profiling {

ThreadMetadata ThreadMetadataCache::metadataForThread(pid_t thread, const std::string& name,
                                                      int32_t priority) {
    for (const Entry& entry : entries_) {
        if (entry.thread == thread) return entry.metadata;
    }
    ThreadMetadata metadata{static_cast<uint64_t>(thread), std::string(), priority};
    if (priority == -1) return metadata;
    if (name.rfind(kOwnThreadPrefix, 0) == 0) {
        entries_.push_back({thread, ThreadMetadata{0, std::string(), 0}});
        return entries_.back().metadata;
    }
    metadata.name = name.substr(0, kMaxNameLength);
    entries_.push_back({thread, metadata});
    return metadata;
}

std::optional<ThreadMetadata> ThreadMetadataCache::cached(pid_t thread) const {
    for (const Entry& entry : entries_) {
        if (entry.thread == thread) return entry.metadata;
    }
    return std::nullopt;
}

void ThreadMetadataCache::retainOnly(const std::vector<pid_t>& threads) {
    std::erase_if(entries_, [&](const Entry& entry) {
        return std::find(threads.begin(), threads.end(), entry.thread) == threads.end();
    });
}

}  // namespace skald::profiling
