#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace skald {

/// A 128-bit identifier held as a UUID, written as 32 lowercase hex digits.
class Id {
  public:
    using Uuid = std::array<uint8_t, 16>;

    /// A new random (version 4) UUID.
    Id();
    explicit Id(const Uuid& uuid) : uuid_(uuid) {}

    /// Accepts the dashed 36-character form (either case) or exactly 32 hex
    /// digits; anything else gives the empty id.
    static Id fromUuidString(std::string_view text);
    /// The same forms as fromUuidString, but nothing instead of the empty id,
    /// so that a stored all-zero id and a malformed one stay apart.
    static std::optional<Id> parse(std::string_view text);

    /// The id of all zeros unless replaced through setEmpty.
    static Id empty();
    static void setEmpty(const Id& id);

    const Uuid& uuid() const { return uuid_; }
    std::string skaldIdString() const;
    std::string description() const { return skaldIdString(); }
    /// The dashed 36-character form in upper case, as session ids are written.
    std::string uuidString() const;

    bool operator==(const Id& other) const = default;

  private:
    Uuid uuid_;
};

}  // namespace skald

template <>
struct std::hash<skald::Id> {
    size_t operator()(const skald::Id& id) const noexcept;
};
