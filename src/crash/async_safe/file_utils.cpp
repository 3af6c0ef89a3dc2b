// Async-signal-safe: thin retrying wrappers around read() and write().
#include "crash/async_safe/file_utils.h"

#include <errno.h>
#include <unistd.h>

namespace skald::crash {

bool writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

ssize_t readOnce(int fd, char* buffer, size_t length) {
    for (;;) {
        const ssize_t count = read(fd, buffer, length);
        if (count >= 0 || errno != EINTR) return count;
    }
}

}  // namespace skald::crash
