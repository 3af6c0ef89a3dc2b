#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {

/// One loaded binary image.
class DebugMeta {
  public:
    std::optional<std::string> uuid;
    std::optional<std::string> debugID;
    std::optional<std::string> type;
    std::optional<std::string> imageAddress;
    std::optional<uint64_t> imageSize;
    /// The image's path; only its last component is written as "name".
    std::optional<std::string> name;
    std::optional<std::string> codeFile;
    std::optional<std::string> imageVmAddress;
    /// The image's own identifier (the hexadecimal GNU build-id); "code_id".
    std::optional<std::string> codeID;

    Json serialize() const;
};

}  // namespace skald
