#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "profiling/backtrace.h"

namespace skald::profiling {

/// Names and priorities of sampled threads, read once per thread. The SDK's
/// own threads are remembered with id 0, so that they are never sampled.
class ThreadMetadataCache {
  public:
    /// Names that begin with this are the SDK's own threads.
    static constexpr const char* kOwnThreadPrefix = "skald-";
    static constexpr size_t kMaxNameLength = 100;

    /// `name` and `priority` as the caller just read them (priority -1:
    /// unknown, and then nothing is cached).
    ThreadMetadata metadataForThread(pid_t thread, const std::string& name, int32_t priority);
    /// The cached metadata, without reading anything.
    std::optional<ThreadMetadata> cached(pid_t thread) const;
    /// Drops threads that are no longer listed.
    void retainOnly(const std::vector<pid_t>& threads);
    size_t size() const { return entries_.size(); }

  private:
    struct Entry {
        pid_t thread;
        ThreadMetadata metadata;
    };
    std::vector<Entry> entries_;
};

}  // namespace skald::profiling
