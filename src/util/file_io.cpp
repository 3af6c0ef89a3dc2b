#include "util/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace skald {

namespace {

constexpr std::string_view kTemporaryInfix = ".tmp-";

void setError(std::string* errorText, const std::string& what, int error) {
    if (errorText) *errorText = what + ": " + std::strerror(error);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                         std::string* errorText) {
    const std::string directory = directoryOf(path);
    std::string temporary =
        directory + "/." + fileNameOf(path) + std::string(kTemporaryInfix) + "XXXXXX";
    std::vector<char> pattern(temporary.begin(), temporary.end());
    pattern.push_back('\0');
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        setError(errorText, "Could not create a temporary file in " + directory, errno);
        return false;
    }
    temporary.assign(pattern.data());

    auto fail = [&](const std::string& what) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        setError(errorText, what + " " + temporary, error);
        return false;
    };
    if (::fchmod(fd, mode) != 0) return fail("Could not set the mode of");
    if (!writeAll(fd, bytes)) return fail("Could not write");
    if (::fsync(fd) != 0) return fail("Could not sync");
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        setError(errorText, "Could not close " + temporary, error);
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        setError(errorText, "Could not rename " + temporary + " to " + path, error);
        return false;
    }
    // The rename itself must reach the disk too; a failure here leaves a
    // complete file behind, so it is not reported.
    const int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        ::fsync(directoryFd);
        ::close(directoryFd);
    }
    return true;
}

std::optional<std::string> readFileContents(const std::string& path, std::string* errorText,
                                            std::optional<uint64_t> maxBytes) {
    // Non-blocking so that a FIFO under the name cannot hang the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setError(errorText, "Could not open " + path, errno);
        return std::nullopt;
    }
    struct stat info {};
    const bool statFailed = ::fstat(fd, &info) != 0;
    if (statFailed || !S_ISREG(info.st_mode)) {
        const int error = statFailed ? errno : EISDIR;
        ::close(fd);
        setError(errorText, "Could not read " + path, error);
        return std::nullopt;
    }
    const uint64_t limit = maxBytes ? *maxBytes + 1 : UINT64_MAX;
    std::string contents;
    // The size is a hint only: the file may change while it is read.
    contents.reserve(static_cast<size_t>(std::min<uint64_t>(info.st_size, limit)));
    char buffer[64 * 1024];
    while (contents.size() < limit) {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(sizeof buffer, limit - contents.size()));
        const ssize_t got = ::read(fd, buffer, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            setError(errorText, "Could not read " + path, error);
            return std::nullopt;
        }
        if (got == 0) break;
        contents.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return contents;
}

bool isAtomicWriteTemporaryName(std::string_view name) {
    return name.starts_with('.') && name.find(kTemporaryInfix) != std::string_view::npos;
}

}  // namespace skald
