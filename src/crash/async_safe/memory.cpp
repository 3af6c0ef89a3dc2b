// Async-signal-safe: the kernel copies the bytes and reports unreadable ones
// as an error instead of a fault.
#include "crash/async_safe/memory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace skald::crash::memory {

namespace {

constexpr uintptr_t kPageSize = 4096;

/// Leaves errno as it was: callers run inside signal handlers.
ssize_t readOwnMemory(const void* source, void* destination, size_t length) {
    const int savedErrno = errno;
    iovec local{destination, length};
    iovec remote{const_cast<void*>(source), length};
    const ssize_t read = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    errno = savedErrno;
    return read;
}

}  // namespace

bool copySafely(const void* source, void* destination, size_t length) {
    if (length == 0) return true;
    if (source == nullptr) return false;
    return readOwnMemory(source, destination, length) == static_cast<ssize_t>(length);
}

size_t copyMaxPossible(const void* source, void* destination, size_t length) {
    // The kernel stops at the first unreadable page; a partial answer tells
    // exactly how far the readable run goes.
    const auto start = reinterpret_cast<uintptr_t>(source);
    size_t copied = 0;
    while (copied < length) {
        const uintptr_t at = start + copied;
        size_t chunk = kPageSize - (at % kPageSize);
        if (chunk > length - copied) chunk = length - copied;
        const ssize_t read = readOwnMemory(reinterpret_cast<const void*>(at),
                                           static_cast<char*>(destination) + copied, chunk);
        if (read <= 0) break;
        copied += static_cast<size_t>(read);
        if (static_cast<size_t>(read) < chunk) break;
    }
    return copied;
}

bool isReadable(const void* memory, size_t length) {
    if (length == 0) return true;
    const auto start = reinterpret_cast<uintptr_t>(memory);
    if (start == 0 || length - 1 > UINTPTR_MAX - start) return false;
    const uintptr_t last = start + (length - 1);
    // Readability goes by page: one byte of each page tells, and the kernel
    // takes a batch of pages per call.
    constexpr int kBatch = 64;
    char sink[kBatch];
    iovec remote[kBatch];
    uintptr_t next = start;
    bool more = true;
    while (more) {
        int count = 0;
        while (more && count < kBatch) {
            remote[count++] = iovec{reinterpret_cast<void*>(next), 1};
            const uintptr_t pageEnd = (next | (kPageSize - 1));
            more = pageEnd < last;
            next = pageEnd + 1;
        }
        iovec local{sink, static_cast<size_t>(count)};
        const int savedErrno = errno;
        const ssize_t read =
            ::process_vm_readv(::getpid(), &local, 1, remote, static_cast<unsigned long>(count), 0);
        errno = savedErrno;
        if (read != count) return false;
    }
    return true;
}

}  // namespace skald::crash::memory
