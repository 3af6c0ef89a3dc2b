#include "util/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/base/unique_fd.h"
#include "util/log.h"

namespace skald {

namespace {

constexpr std::string_view kTemporaryInfix = ".tmp-";

void setError(std::string* errorText, const std::string& what, int error) {
    if (errorText) *errorText = what + ": " + std::strerror(error);
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
    platform::unique_fd fd(::mkstemp(pattern.data()));
    if (!fd) {
        setError(errorText, "Could not create a temporary file in " + directory, errno);
        return false;
    }
    temporary.assign(pattern.data());

    auto fail = [&](const std::string& what) {
        const int error = errno;
        fd.reset();
        ::unlink(temporary.c_str());
        setError(errorText, what + " " + temporary, error);
        return false;
    };
    if (::fchmod(fd.get(), mode) != 0) return fail("Could not set the mode of");
    if (!writeAllBytes(fd.get(), bytes)) return fail("Could not write");
    if (::fsync(fd.get()) != 0) return fail("Could not sync");
    if (fd.reset() != 0) {
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
    const platform::unique_fd directoryFd(
        ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directoryFd) ::fsync(directoryFd.get());
    return true;
}

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

FileRead failure(FileReadStatus status, std::string text) {
    FileRead result;
    result.status = status;
    result.errorText = std::move(text);
    return result;
}

FileRead tooLarge(const std::string& path, uint64_t size, uint64_t maxBytes) {
    return failure(FileReadStatus::TooLarge, path + " holds " + std::to_string(size) +
                                                 " bytes, more than the " +
                                                 std::to_string(maxBytes) + " allowed");
}

}  // namespace

FileRead readRegularFile(const std::string& path, uint64_t maxBytes, Symlinks symlinks) {
    const bool follow = symlinks == Symlinks::Follow;
    // Looked at first, so that what is plainly no regular file is never opened.
    struct stat before {};
    if ((follow ? ::stat(path.c_str(), &before) : ::lstat(path.c_str(), &before)) != 0) {
        const int error = errno;
        const auto status =
            error == ENOENT || error == ENOTDIR ? FileReadStatus::Missing : FileReadStatus::Failed;
        return failure(status, "Could not open " + path + ": " + std::strerror(error));
    }
    if (!S_ISREG(before.st_mode)) {
        return failure(FileReadStatus::NotRegularFile, path + " is " + kindOf(before.st_mode));
    }
    if (static_cast<uint64_t>(before.st_size) > maxBytes) {
        return tooLarge(path, static_cast<uint64_t>(before.st_size), maxBytes);
    }

    // The entry may be swapped between the look and the open: the open never
    // blocks nor follows a link, and fstat decides.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW);
    const platform::unique_fd fd(::open(path.c_str(), flags));
    if (!fd) {
        const int error = errno;
        auto status = FileReadStatus::Failed;
        if (error == ENOENT || error == ENOTDIR) status = FileReadStatus::Missing;
        if ((error == ELOOP && !follow) || error == ENXIO) status = FileReadStatus::NotRegularFile;
        return failure(status, "Could not open " + path + ": " + std::strerror(error));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        const int error = errno;
        return failure(FileReadStatus::Failed,
                       "Could not read " + path + ": " + std::strerror(error));
    }
    if (!S_ISREG(info.st_mode)) {
        return failure(FileReadStatus::NotRegularFile, path + " is " + kindOf(info.st_mode));
    }
    if (static_cast<uint64_t>(info.st_size) > maxBytes) {
        return tooLarge(path, static_cast<uint64_t>(info.st_size), maxBytes);
    }

    FileRead result;
    // One byte past the bound tells a file that grew while it was read.
    const uint64_t limit = maxBytes == UINT64_MAX ? maxBytes : maxBytes + 1;
    result.contents.reserve(static_cast<size_t>(info.st_size));
    char buffer[64 * 1024];
    while (result.contents.size() < limit) {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(sizeof buffer, limit - result.contents.size()));
        const ssize_t got = ::read(fd.get(), buffer, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            return failure(FileReadStatus::Failed,
                           "Could not read " + path + ": " + std::strerror(error));
        }
        if (got == 0) break;
        result.contents.append(buffer, static_cast<size_t>(got));
    }
    if (result.contents.size() > maxBytes) return tooLarge(path, result.contents.size(), maxBytes);
    result.status = FileReadStatus::Ok;
    return result;
}

std::optional<std::string> readOwnFile(const std::string& path, uint64_t maxBytes,
                                       FileReadStatus* status) {
    FileRead read = readRegularFile(path, maxBytes, Symlinks::Refuse);
    if (status) *status = read.status;
    switch (read.status) {
        case FileReadStatus::Ok:
            return std::move(read.contents);
        case FileReadStatus::Missing:
            return std::nullopt;
        case FileReadStatus::Failed:
            SKALD_LOG_WARNING("%s", read.errorText.c_str());
            return std::nullopt;
        case FileReadStatus::NotRegularFile:
        case FileReadStatus::TooLarge:
            break;
    }
    removeForeignEntry(path, read.errorText);
    return std::nullopt;
}

void removeForeignEntry(const std::string& path, const std::string& why) {
    // remove_all takes a symlink as a link and never follows one inside a folder.
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) {
        SKALD_LOG_WARNING("Skipped %s (%s) and could not remove it: %s", path.c_str(), why.c_str(),
                          ec.message().c_str());
    } else {
        SKALD_LOG_WARNING("Removed %s, which is no file of the SDK: %s", path.c_str(), why.c_str());
    }
}

std::optional<std::string> readFileContents(const std::string& path, std::string* errorText,
                                            std::optional<uint64_t> maxBytes) {
    FileRead read = readRegularFile(path, maxBytes.value_or(UINT64_MAX), Symlinks::Follow);
    if (!read.ok()) {
        if (errorText) *errorText = std::move(read.errorText);
        return std::nullopt;
    }
    return std::move(read.contents);
}

bool isAtomicWriteTemporaryName(std::string_view name) {
    return name.starts_with('.') && name.find(kTemporaryInfix) != std::string_view::npos;
}

bool writeAllBytes(int fd, std::string_view bytes) {
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

}  // namespace skald
