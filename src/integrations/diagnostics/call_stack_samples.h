#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "core/diagnostics/mx_call_stack_tree.h"

namespace skald {

/// Frames of the loaded images for a stack a thread recorded of itself
/// (`addresses` innermost first), outermost first as a tree path runs.
/// Addresses outside every image are left out. The caller refreshes the
/// image list first.
std::vector<MXFrame> mxFramesForAddresses(const uintptr_t* addresses, int count);

/// Stack samples of one window, boiled down to the path most of them share.
class CallStackSamples {
  public:
    /// The oldest samples give way to newer ones beyond this many.
    static constexpr size_t kMaxSamples = 64;

    /// `frames` outermost first; `time` on a monotonic clock in seconds.
    void add(std::vector<MXFrame> frames, double time);
    void dropOlderThan(double time);
    void clear() { samples_.clear(); }
    size_t size() const { return samples_.size(); }

    /// One call stack attributed to a thread, holding a single path: from the
    /// outermost frame most samples start with, each step to the sub-frame
    /// most of them continue with, each frame with its sample count. No call
    /// stacks when there are no samples.
    MXCallStackTree hottestPathTree() const;

  private:
    struct Sample {
        double time;
        std::vector<MXFrame> frames;
    };
    std::deque<Sample> samples_;
};

}  // namespace skald
