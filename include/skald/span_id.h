#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace skald {

/// A 64-bit span identifier held as 16 lowercase characters, inline: making
/// one allocates nothing.
class SpanId {
  public:
    /// The first 16 hex digits of a new random (version 4) UUID's text.
    SpanId();
    /// Exactly 16 characters, stored lowercased (not checked to be hex); any
    /// other length gives the empty span id.
    explicit SpanId(std::string_view value);

    /// "0000000000000000".
    static const SpanId& empty();

    std::string_view view() const { return {chars_.data(), chars_.size()}; }
    std::string value() const { return std::string(view()); }
    std::string skaldSpanIdString() const { return value(); }
    std::string description() const { return value(); }

    bool operator==(const SpanId& other) const = default;

  private:
    std::array<char, 16> chars_;
};

}  // namespace skald

template <>
struct std::hash<skald::SpanId> {
    size_t operator()(const skald::SpanId& id) const noexcept {
        return std::hash<std::string_view>()(id.view());
    }
};
