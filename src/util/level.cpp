#include "skald/level.h"

#include <array>

namespace skald {

namespace {
constexpr std::array<const char*, 6> kLevelNames = {"none",    "debug", "info",
                                                    "warning", "error", "fatal"};
}

const char* nameForLevel(Level level) {
    const auto index = static_cast<size_t>(level);
    return index < kLevelNames.size() ? kLevelNames[index] : kLevelNames[0];
}

Level levelForName(std::string_view name) {
    for (size_t i = 0; i < kLevelNames.size(); ++i) {
        if (name == kLevelNames[i]) return static_cast<Level>(i);
    }
    return Level::Error;
}

std::optional<Level> levelFromRaw(uint64_t raw) {
    if (raw >= kLevelNames.size()) return std::nullopt;
    return static_cast<Level>(raw);
}

}  // namespace skald
