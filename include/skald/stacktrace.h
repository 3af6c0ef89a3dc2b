#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
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

    /// Removes the second-to-last frame when it duplicates the last one: both
    /// share a symbol address and the link register "lr" points at the former.
    void fixDuplicateFrames();

    Json serialize() const;
};

}  // namespace skald
