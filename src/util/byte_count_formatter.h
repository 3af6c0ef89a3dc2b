#pragma once

#include <cstdint>
#include <string>

namespace skald {

/// A byte count for people: "500 bytes", "2 KB", "1,023 MB", "2,048 GB". The
/// count is divided by 1024 while it stays at least 1024 and a larger unit
/// remains; the whole part is kept (never rounded up) and grouped by
/// thousands with ",".
std::string byteCountDescription(uint64_t bytes);

/// "1,234,567": the digits grouped by thousands with ",".
std::string groupedByThousands(uint64_t value);

}  // namespace skald
