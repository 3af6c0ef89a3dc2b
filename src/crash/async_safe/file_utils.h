// Async-signal-safe: thin retrying wrappers around read() and write().
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace skald::crash {

/// Writes every byte, retrying after interruptions and short writes.
bool writeAll(int fd, const char* data, size_t length);

/// One read() retried after interruptions: bytes read, 0 at the end, -1 on error
/// (errno set).
ssize_t readOnce(int fd, char* buffer, size_t length);

}  // namespace skald::crash
