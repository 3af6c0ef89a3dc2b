#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace skald {

/// A 64-bit span identifier held as 16 lowercase characters.
class SpanId {
  public:
    /// The first 16 hex digits of a new random UUID.
    SpanId();
    /// Exactly 16 characters, stored lowercased (not checked to be hex); any
    /// other length gives the empty span id.
    explicit SpanId(std::string_view value);

    /// "0000000000000000".
    static const SpanId& empty();

    const std::string& value() const { return value_; }
    const std::string& skaldSpanIdString() const { return value_; }
    const std::string& description() const { return value_; }

    bool operator==(const SpanId& other) const = default;

  private:
    std::string value_;
};

}  // namespace skald

template <>
struct std::hash<skald::SpanId> {
    size_t operator()(const skald::SpanId& id) const noexcept {
        return std::hash<std::string>()(id.value());
    }
};
