#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "skald/json.h"

namespace skald {

/// A log-style message. Texts longer than kMaxLength characters (code points)
/// are cut to their first kMaxLength characters.
class Message {
  public:
    static constexpr size_t kMaxLength = 8192;

    explicit Message(std::string formatted);

    const std::string& formatted() const { return formatted_; }
    /// The unformatted template.
    const std::optional<std::string>& message() const { return message_; }
    void setMessage(std::optional<std::string> message);

    std::optional<std::vector<std::string>> params;

    Json serialize() const;

  private:
    std::string formatted_;
    std::optional<std::string> message_;
};

}  // namespace skald
