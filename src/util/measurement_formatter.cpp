#include "util/measurement_formatter.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "util/byte_count_formatter.h"

namespace skald {

std::string formatMeasurement(double value, const std::string& unit) {
    std::string number;
    // Beyond this the thousandths no longer fit a 64-bit count.
    if (!std::isfinite(value) || std::fabs(value) >= 1e15) {
        char buffer[64];
        std::snprintf(buffer, sizeof(buffer), "%g", value);
        number = buffer;
    } else {
        const auto thousandths = static_cast<uint64_t>(std::llround(std::fabs(value) * 1000));
        if (value < 0 && thousandths != 0) number = "-";
        number += groupedByThousands(thousandths / 1000);
        if (uint64_t fraction = thousandths % 1000; fraction != 0) {
            int digits = 3;
            while (fraction % 10 == 0) {
                fraction /= 10;
                --digits;
            }
            char buffer[8];
            std::snprintf(buffer, sizeof(buffer), ".%0*llu", digits,
                          static_cast<unsigned long long>(fraction));
            number += buffer;
        }
    }
    return unit.empty() ? number : number + " " + unit;
}

}  // namespace skald
