#pragma once

#include <cstdint>

namespace skald::platform {

/// 64 well-mixed random bits for identifiers: per thread, seeded from the
/// kernel once per thread and again in a forked child, so that two
/// processes never continue the same sequence. Not for secrets.
uint64_t fastRandom64();

}  // namespace skald::platform
