#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "profiling/backtrace.h"

namespace skald::profiling {

struct ProfileSample {
    uint64_t absoluteTimestamp = 0;
    /// Wall-clock seconds since 1970 when it was recorded.
    double absoluteNSDateInterval = 0;
    uint64_t threadID = 0;
    size_t stackIndex = 0;
    std::optional<std::string> queueAddress;
};

struct ProfileThreadMetadata {
    std::optional<std::string> name;
    std::optional<int32_t> priority;
};

/// What a profiler collected: each distinct address and stack once.
struct ProfilingData {
    std::vector<ProfileSample> samples;
    std::vector<std::vector<size_t>> stacks;
    /// "0x%016llx" of each address.
    std::vector<std::string> frames;
    /// By thread id.
    std::map<uint64_t, ProfileThreadMetadata> threadMetadata;
};

/// The samples of one profiler, behind a mutex.
class ProfilerState {
  public:
    /// Caches the main thread's id (accepted only within 1 to 0xFFFFFFFE).
    ProfilerState();

    /// Records the backtrace at its own time.
    void appendBacktrace(const Backtrace& backtrace);
    /// Records it at `timestamp` (monotonic ns).
    void appendBacktrace(const Backtrace& backtrace, uint64_t timestamp);
    ProfilingData copyProfilingData() const;
    void clear();
    void cacheMainThreadID(uint64_t threadID);
    uint64_t mainThreadID() const;

  private:
    struct Mutable {
        ProfilingData data;
        std::unordered_map<uintptr_t, size_t> frameIndexLookup;
        std::unordered_map<std::string, size_t> stackIndexLookup;
    };

    mutable std::mutex mutex_;
    Mutable state_;
    uint64_t mainThreadID_ = 0;
    std::string stackKey_;
    std::vector<size_t> stack_;
};

/// The text form of a frame's address.
std::string frameAddressText(uintptr_t address);

}  // namespace skald::profiling
