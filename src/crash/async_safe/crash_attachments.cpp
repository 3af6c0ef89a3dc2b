// Async-signal-safe: runs on the crashing thread with the others stopped.
#include "crash/async_safe/crash_attachments.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "crash/async_safe/crash_log.h"
#include "crash/async_safe/file_utils.h"

namespace skald::crash {

namespace {

constexpr size_t kPathSize = 1024;

std::atomic<const CrashAttachmentList*> gList{nullptr};

bool isPlainFilename(const char* name) {
    if (name == nullptr || name[0] == '\0') return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (const char* c = name; *c != '\0'; ++c)
        if (*c == '/') return false;
    return true;
}

// Only regular files, read without following a FIFO into a wait.
bool copyFile(const char* source, int destination, uint64_t maxFileSize) {
    const int fd = ::open(source, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        logError("Could not open attachment ", source, ": ", errorText(errno));
        return false;
    }
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (!ok) {
        logError("Attachment is not a regular file: ", source);
    } else if (static_cast<uint64_t>(status.st_size) > maxFileSize) {
        logError("Attachment is too large: ", source);
        ok = false;
    }
    char buffer[4096];
    uint64_t copied = 0;
    while (ok) {
        const ssize_t count = readOnce(fd, buffer, sizeof buffer);
        if (count == 0) break;
        // A file that grew past the limit since fstat is cut there, not sent whole.
        copied += static_cast<uint64_t>(count > 0 ? count : 0);
        ok = count > 0 && copied <= maxFileSize &&
             writeAll(destination, buffer, static_cast<size_t>(count));
        if (!ok) logError("Could not copy attachment ", source);
    }
    ::close(fd);
    return ok;
}

}  // namespace

const CrashAttachmentList* exchangeCrashAttachments(const CrashAttachmentList* list) {
    return gList.exchange(list);
}

void writeCrashAttachments(const char* directory) {
    const CrashAttachmentList* list = gList.load();
    if (list == nullptr || directory == nullptr) return;
    for (uint32_t i = 0; i < list->count; ++i) {
        const CrashAttachment& item = list->items[i];
        char path[kPathSize];
        if (!isPlainFilename(item.filename) ||
            !joinPath(directory, item.filename, path, sizeof path)) {
            logError("Skipping attachment with an unusable file name");
            continue;
        }
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            logError("Could not create attachment ", path, ": ", errorText(errno));
            continue;
        }
        const bool ok = item.path != nullptr ? copyFile(item.path, fd, list->maxFileSize)
                                             : writeAll(fd, item.data, item.size);
        ::close(fd);
        // A half-written attachment would reach the service as if whole.
        if (!ok) removeFile(path, false);
    }
}

}  // namespace skald::crash
