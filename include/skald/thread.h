#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "skald/json.h"
#include "skald/stacktrace.h"

namespace skald {

class Thread {
  public:
    Thread() = default;
    explicit Thread(std::optional<uint64_t> threadId) : threadId(threadId) {}

    /// Written as 99 when unset.
    std::optional<uint64_t> threadId;
    std::optional<bool> crashed;
    std::optional<bool> current;
    std::optional<std::string> name;
    std::shared_ptr<Stacktrace> stacktrace;
    std::optional<bool> isMain;

    Json serialize() const;
};

}  // namespace skald
