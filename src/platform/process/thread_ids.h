#pragma once

#include <sys/types.h>

#include <vector>

namespace skald::platform {

/// The kernel ids of the process's threads, in the order the kernel lists
/// them; empty when /proc cannot be read.
std::vector<pid_t> processThreadIds();

}  // namespace skald::platform
