#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {

/// One frame of a stack trace. Address-like values are strings in the form
/// their producer chose (hexadecimal with "0x" for the SDK's own producers).
class Frame {
  public:
    Frame() = default;

    std::optional<std::string> symbolAddress;
    std::optional<std::string> fileName;
    std::optional<std::string> function = "<redacted>";
    std::optional<std::string> module;
    std::optional<int64_t> lineNumber;
    std::optional<int64_t> columnNumber;
    std::optional<std::string> package;
    std::optional<std::string> imageAddress;
    std::optional<std::string> instructionAddress;
    std::optional<std::string> platform;
    std::optional<bool> inApp;
    std::optional<bool> stackStart;
    /// The raw instruction address; not written.
    uint64_t instruction = 0;

    Json serialize() const;

    bool operator==(const Frame& other) const = default;
};

}  // namespace skald
