// Async-signal-safe: system calls and stack buffers only.
#include "crash/async_safe/file_utils.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "crash/async_safe/crash_log.h"

namespace skald::crash {

namespace {

constexpr size_t kPathSize = 500;

bool deleteContents(const char* path, int depth);

bool deleteEntry(const char* path, int depth) {
    struct stat info {};
    if (::lstat(path, &info) != 0) {
        logError("Could not stat ", path, ": ", errorText(errno));
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        const bool emptied = deleteContents(path, depth + 1);
        if (::rmdir(path) != 0) {
            logError("Could not delete ", path, ": ", errorText(errno));
            return false;
        }
        return emptied;
    }
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
        logError("Could not delete ", path, ": Not a regular file.");
        return false;
    }
    return removeFile(path, true);
}

bool deleteContents(const char* path, int depth) {
    if (depth > 32) return false;
    // Never through a symlink: the folder it leads to is not ours to empty.
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        logError("Error reading directory ", path, ": ", errorText(errno));
        return false;
    }
    bool ok = true;
    char buffer[2048];
    for (;;) {
        const long count = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (count < 0) {
            logError("Error reading directory ", path, ": ", errorText(errno));
            ok = false;
            break;
        }
        if (count == 0) break;
        for (long offset = 0; offset < count;) {
            const auto* entry = reinterpret_cast<const KernelDirent*>(buffer + offset);
            offset += entry->d_reclen;
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            char child[kPathSize];
            if (!joinPath(path, entry->d_name, child, sizeof child)) {
                logError("Path too long: ", path, "/", entry->d_name);
                ok = false;
                continue;
            }
            ok = deleteEntry(child, depth) && ok;
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

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

bool makeDirectoryWithParents(const char* path) {
    char partial[kPathSize];
    const size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof partial) return false;
    for (size_t i = 1; i <= length; ++i) {
        if (i < length && path[i] != '/') continue;
        std::memcpy(partial, path, i);
        partial[i] = '\0';
        if (::mkdir(partial, 0700) != 0 && errno != EEXIST) {
            logError("Could not create directory ", partial, ": ", errorText(errno));
            return false;
        }
    }
    return true;
}

bool removeFile(const char* path, bool mustExist) {
    if (::unlink(path) == 0) return true;
    if (errno == ENOENT && !mustExist) return true;
    logError("Could not delete ", path, ": ", errorText(errno));
    return false;
}

bool deleteContentsOfPath(const char* path) {
    const char* last = lastPathEntry(path);
    if (std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0) return false;
    return deleteContents(path, 0);
}

const char* lastPathEntry(const char* path) {
    if (path == nullptr) return nullptr;
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool joinPath(const char* directory, const char* name, char* out, size_t capacity) {
    const size_t directoryLength = std::strlen(directory);
    const size_t nameLength = std::strlen(name);
    if (directoryLength + 1 + nameLength + 1 > capacity) return false;
    std::memcpy(out, directory, directoryLength);
    out[directoryLength] = '/';
    std::memcpy(out + directoryLength + 1, name, nameLength + 1);
    return true;
}

}  // namespace skald::crash
