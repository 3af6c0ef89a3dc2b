#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace skald {

struct ThreadStack {
    pid_t thread = 0;
    /// Innermost first: where the thread was stopped, then return addresses.
    std::vector<uintptr_t> addresses;
};

/// The stacks of `wanted` threads of this process (not the calling one),
/// each stopped only as long as it takes to walk its own stack; the other
/// threads of `all` are left running. Threads that did not answer are left
/// out; nothing while another suspension (a crash, a hang report) is under
/// way. Refreshes the image list first.
std::vector<ThreadStack> sampleThreadStacks(const std::vector<pid_t>& wanted,
                                            const std::vector<pid_t>& all);

}  // namespace skald
