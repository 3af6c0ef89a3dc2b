#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "skald/json.h"

namespace skald {

/// One frame of a diagnostic's call-stack tree; its sub-frames hang below it.
class MXFrame {
  public:
    /// Canonical upper-case form with dashes.
    std::string binaryUUID;
    int64_t offsetIntoBinaryTextSegment = 0;
    std::optional<std::string> binaryName;
    uint64_t address = 0;
    /// Empty for "no sub-frames".
    std::vector<MXFrame> subFrames;
    std::optional<int64_t> sampleCount;

    /// The sub-frames, each followed by its own `frames`, in pre-order.
    std::vector<const MXFrame*> frames() const;
    /// This frame followed by its `frames`.
    std::vector<const MXFrame*> framesIncludingSelf() const;

    Json serialize() const;
};

class MXCallStack {
  public:
    std::optional<bool> threadAttributed;
    std::vector<MXFrame> callStackRootFrames;

    /// Each root frame followed by its `frames`, in order.
    std::vector<const MXFrame*> flattenedRootFrames() const;

    Json serialize() const;
};

/// A diagnostic's call stacks, decoded from their JSON form.
class MXCallStackTree {
  public:
    std::vector<MXCallStack> callStacks;
    bool callStackPerThread = false;

    /// Frames nested deeper are refused: the decoding and the walks recurse.
    static constexpr int kMaxFrameDepth = 512;
    /// Trees with more frames in all are refused.
    static constexpr size_t kMaxFrames = 200000;

    /// Nothing (and `error` set) for text that is not a tree: "callStacks"
    /// (an array) and "callStackPerThread" (a boolean) are required, each
    /// frame needs a UUID "binaryUUID", an integer
    /// "offsetIntoBinaryTextSegment" and an unsigned "address".
    static std::optional<MXCallStackTree> fromData(std::string_view data,
                                                   std::string* error = nullptr);
    static std::optional<MXCallStackTree> fromJson(const Json& json, std::string* error = nullptr);

    Json serialize() const;
};

}  // namespace skald
