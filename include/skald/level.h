#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace skald {

/// Severity of events, breadcrumbs and log lines. The names are the JSON form.
enum class Level : uint32_t {
    None = 0,
    Debug = 1,
    Info = 2,
    Warning = 3,
    Error = 4,
    Fatal = 5,
};

/// The name of a valid level ("none" ... "fatal").
const char* nameForLevel(Level level);

/// The level whose name equals `name` exactly; Level::Error for any other text.
Level levelForName(std::string_view name);

/// A level from a raw number; nothing for values above 5.
std::optional<Level> levelFromRaw(uint64_t raw);

}  // namespace skald
