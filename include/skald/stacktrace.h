#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "skald/frame.h"
#include "skald/json.h"

namespace skald {

class Stacktrace {
  public:
    Stacktrace() = default;
    Stacktrace(std::vector<std::shared_ptr<Frame>> frames,
               std::map<std::string, std::string> registers);

    /// Outermost caller first.
    std::vector<std::shared_ptr<Frame>> frames;
    /// Register name to value.
    std::map<std::string, std::string> registers;
    std::optional<bool> snapshot;
    /// Frames left out of a stack too deep to keep whole, as the range
    /// [first, end) of positions they had among `frames`: the kept frames
    /// from `first` on came after them.
    std::optional<std::pair<uint64_t, uint64_t>> framesOmitted;

    /// Removes the second-to-last frame when it duplicates the last one: both
    /// share a symbol address and the link register "lr" points at the former.
    void fixDuplicateFrames();

    Json serialize() const;
};

}  // namespace skald
