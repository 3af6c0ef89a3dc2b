#include "integrations/diagnostics/call_stack_samples.h"

#include <utility>

#include "crash/async_safe/binary_images.h"
#include "model/debug_id.h"
#include "skald/id.h"

namespace skald {

namespace {

bool sameFrame(const MXFrame& a, const MXFrame& b) {
    return a.address == b.address && a.binaryUUID == b.binaryUUID;
}

}  // namespace

std::vector<MXFrame> mxFramesForAddresses(const uintptr_t* addresses, int count) {
    std::vector<MXFrame> frames;
    frames.reserve(count > 0 ? static_cast<size_t>(count) : 0);
    for (int index = count - 1; index >= 0; --index) {
        crash::BinaryImage image;
        if (!crash::findBinaryImage(addresses[index], &image)) continue;
        MXFrame frame;
        const auto uuid = Id::parse(debugIdFromBuildId(image.buildId, image.buildIdLength));
        frame.binaryUUID = uuid ? uuid->uuidString() : Id::empty().uuidString();
        // Counted from where the image is mapped, which is what symbolication
        // of ELF images takes as the image's address.
        frame.offsetIntoBinaryTextSegment = static_cast<int64_t>(addresses[index] - image.address);
        if (image.name != nullptr) frame.binaryName = std::string(image.name);
        frame.address = addresses[index];
        frames.push_back(std::move(frame));
    }
    return frames;
}

void CallStackSamples::add(std::vector<MXFrame> frames, double time) {
    if (frames.empty()) return;
    if (samples_.size() >= kMaxSamples) samples_.pop_front();
    samples_.push_back({time, std::move(frames)});
}

void CallStackSamples::dropOlderThan(double time) {
    while (!samples_.empty() && samples_.front().time < time) samples_.pop_front();
}

MXCallStackTree CallStackSamples::hottestPathTree() const {
    MXCallStackTree tree;
    tree.callStackPerThread = false;
    if (samples_.empty()) return tree;

    // Walk down level by level among the samples that agree so far.
    std::vector<const Sample*> agreeing;
    for (const auto& sample : samples_) agreeing.push_back(&sample);
    std::vector<MXFrame> path;
    for (size_t depth = 0; !agreeing.empty(); ++depth) {
        // Candidates in first-seen order; ties go to the earlier one.
        std::vector<std::pair<const MXFrame*, int64_t>> counts;
        for (const Sample* sample : agreeing) {
            if (depth >= sample->frames.size()) continue;
            const MXFrame& frame = sample->frames[depth];
            bool found = false;
            for (auto& [candidate, count] : counts) {
                if (sameFrame(*candidate, frame)) {
                    ++count;
                    found = true;
                    break;
                }
            }
            if (!found) counts.emplace_back(&frame, 1);
        }
        if (counts.empty()) break;
        size_t best = 0;
        for (size_t i = 1; i < counts.size(); ++i) {
            if (counts[i].second > counts[best].second) best = i;
        }
        MXFrame step = *counts[best].first;
        step.subFrames.clear();
        step.sampleCount = counts[best].second;
        std::erase_if(agreeing, [&](const Sample* sample) {
            return depth >= sample->frames.size() ||
                   !sameFrame(sample->frames[depth], *counts[best].first);
        });
        path.push_back(std::move(step));
    }

    // Nest the path: each frame becomes the only sub-frame of the one before.
    MXFrame nested = std::move(path.back());
    for (size_t i = path.size() - 1; i-- > 0;) {
        MXFrame parent = std::move(path[i]);
        parent.subFrames.push_back(std::move(nested));
        nested = std::move(parent);
    }
    MXCallStack stack;
    stack.threadAttributed = true;
    stack.callStackRootFrames.push_back(std::move(nested));
    tree.callStacks.push_back(std::move(stack));
    return tree;
}

}  // namespace skald
