#include "profiling/profiler_state.h"

#include "platform/base/hex.h"
#include "profiling/clocks.h"
#include "skald/platform/main_queue.h"

namespace skald::profiling {

std::string frameAddressText(uintptr_t address) {
    return "0x" + platform::hexNumber(address, 16);
}

ProfilerState::ProfilerState() {
    cacheMainThreadID(static_cast<uint64_t>(platform::MainQueue::mainThreadId()));
}

void ProfilerState::cacheMainThreadID(uint64_t threadID) {
    if (threadID < 1 || threadID > 0xFFFFFFFE) return;
    std::lock_guard guard(mutex_);
    mainThreadID_ = threadID;
}

uint64_t ProfilerState::mainThreadID() const {
    std::lock_guard guard(mutex_);
    return mainThreadID_;
}

void ProfilerState::appendBacktrace(const Backtrace& backtrace) {
    appendBacktrace(backtrace, backtrace.absoluteTimestamp);
}

void ProfilerState::appendBacktrace(const Backtrace& backtrace, uint64_t timestamp) {
    const double wallClock = wallClockSeconds();
    std::lock_guard guard(mutex_);
    ProfilingData& data = state_.data;
    const uint64_t threadID = backtrace.threadMetadata.threadID;
    ProfileThreadMetadata& metadata = data.threadMetadata[threadID];
    if (!metadata.name) {
        if (!backtrace.threadMetadata.name.empty()) {
            metadata.name = backtrace.threadMetadata.name;
        } else if (mainThreadID_ != 0 && threadID == mainThreadID_) {
            metadata.name = "main";
        }
    }
    if (!metadata.priority && backtrace.threadMetadata.priority != -1) {
        metadata.priority = backtrace.threadMetadata.priority;
    }

    stack_.clear();
    stackKey_.clear();
    for (const uintptr_t address : backtrace.addresses) {
        auto [it, inserted] = state_.frameIndexLookup.try_emplace(address, data.frames.size());
        if (inserted) data.frames.push_back(frameAddressText(address));
        if (!stack_.empty()) stackKey_ += '|';
        stackKey_ += std::to_string(it->second);
        stack_.push_back(it->second);
    }
    auto [stack, inserted] = state_.stackIndexLookup.try_emplace(stackKey_, data.stacks.size());
    if (inserted) data.stacks.push_back(stack_);

    ProfileSample sample;
    sample.absoluteTimestamp = timestamp;
    sample.absoluteNSDateInterval = wallClock;
    sample.threadID = threadID;
    sample.stackIndex = stack->second;
    data.samples.push_back(std::move(sample));
}

ProfilingData ProfilerState::copyProfilingData() const {
    std::lock_guard guard(mutex_);
    return state_.data;
}

void ProfilerState::clear() {
    std::lock_guard guard(mutex_);
    state_ = Mutable{};
}

}  // namespace skald::profiling
