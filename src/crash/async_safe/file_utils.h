// Async-signal-safe: thin retrying wrappers around the file system calls that
// crash-time code needs.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace skald::crash {

/// One entry of the kernel's getdents64 answer: directories are read with
/// that system call because opendir() allocates.
struct KernelDirent {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

/// Writes every byte, retrying after interruptions and short writes.
bool writeAll(int fd, const char* data, size_t length);

/// One read() retried after interruptions: bytes read, 0 at the end, -1 on error
/// (errno set).
ssize_t readOnce(int fd, char* buffer, size_t length);

/// Creates each missing component with mode 0700.
bool makeDirectoryWithParents(const char* path);

/// A missing file is an error only when `mustExist`.
bool removeFile(const char* path, bool mustExist);

/// Removes everything inside `path` (recursively), keeping `path` itself.
bool deleteContentsOfPath(const char* path);

/// "<directory>/<name>" into `out`; false when it does not fit in `capacity`.
bool joinPath(const char* directory, const char* name, char* out, size_t capacity);

/// The part after the last "/".
const char* lastPathEntry(const char* path);

}  // namespace skald::crash
