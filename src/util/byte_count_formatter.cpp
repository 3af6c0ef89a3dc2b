#include "util/byte_count_formatter.h"

#include <array>

namespace skald {

namespace {

constexpr std::array<const char*, 4> kUnits = {"bytes", "KB", "MB", "GB"};

}  // namespace

std::string groupedByThousands(uint64_t value) {
    std::string digits = std::to_string(value);
    std::string grouped;
    grouped.reserve(digits.size() + digits.size() / 3);
    const size_t lead = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i >= lead && (i - lead) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

std::string byteCountDescription(uint64_t bytes) {
    // Whole-number steps: flooring each division floors the exact quotient.
    uint64_t value = bytes;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < kUnits.size()) {
        value /= 1024;
        ++unit;
    }
    return groupedByThousands(value) + " " + kUnits[unit];
}

}  // namespace skald
