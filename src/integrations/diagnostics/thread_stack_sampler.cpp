#include "integrations/diagnostics/thread_stack_sampler.h"

#include <unistd.h>

#include <algorithm>
#include <memory>

#include "crash/async_safe/thread_suspension.h"
#include "crash/recording/binary_image_list.h"

namespace skald {

std::vector<ThreadStack> sampleThreadStacks(const std::vector<pid_t>& wanted,
                                            const std::vector<pid_t>& all) {
    if (wanted.empty() || !crash::prepareThreadSuspension()) return {};
    crash::BinaryImageList::refresh();
    std::vector<pid_t> excluded;
    for (const pid_t thread : all) {
        if (std::find(wanted.begin(), wanted.end(), thread) == wanted.end()) {
            excluded.push_back(thread);
        }
    }
    // Allocated before the threads stop: a stopped thread may hold the allocator's lock.
    auto copies = std::make_unique<crash::ThreadSnapshot[]>(wanted.size());
    std::vector<char> captured(wanted.size(), 0);

    const int count = crash::suspendEnvironment(excluded.data(), static_cast<int>(excluded.size()));
    if (count <= 0) return {};
    for (size_t i = 0; i < wanted.size(); ++i) {
        const crash::ThreadSnapshot* snapshot = crash::snapshotOfThread(wanted[i]);
        if (snapshot != nullptr && snapshot->captured) {
            copies[i] = *snapshot;
            captured[i] = 1;
        }
    }
    crash::resumeEnvironment();

    std::vector<ThreadStack> stacks;
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (!captured[i]) continue;
        const int frames = std::clamp(copies[i].frameCount, 0, crash::kMaxSuspendedFrames);
        stacks.push_back(
            {wanted[i], std::vector<uintptr_t>(copies[i].frames, copies[i].frames + frames)});
    }
    return stacks;
}

}  // namespace skald
