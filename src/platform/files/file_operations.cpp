#include "skald/platform/file_operations.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace skald::platform {

namespace fs = std::filesystem;

namespace {

int64_t codeForErrno(int value, bool writing) {
    switch (value) {
        case ENOENT:
        case ENOTDIR:
            return kFileNoSuchFileError;
        case EEXIST:
        case ENOTEMPTY:
            return kFileWriteFileExistsError;
        case EACCES:
        case EPERM:
            return writing ? kFileWriteNoPermissionError : kFileReadNoPermissionError;
        case ENOSPC:
        case EDQUOT:
            return kFileWriteOutOfSpaceError;
        case EROFS:
            return kFileWriteVolumeReadOnlyError;
        default:
            return writing ? kFileWriteUnknownError : kFileReadUnknownError;
    }
}

std::string lastComponent(const std::string& path) {
    const auto name = fs::path(path).filename().string();
    return name.empty() ? path : name;
}

}  // namespace

Error FileOperations::errorForErrno(int errnoValue, const std::string& action,
                                    const std::string& path, bool writing) {
    Error error(kCocoaErrorDomain, codeForErrno(errnoValue, writing),
                "The file \"" + lastComponent(path) + "\" couldn't be " + action + ".");
    error.localizedFailureReason = std::strerror(errnoValue);
    error.filePath = path;
    error.userInfo["NSFilePath"] = path;
    // An error object, not a user-info entry: captured, the chain becomes
    // one exception for the system's error and one for this.
    error.underlyingError = std::make_shared<const Error>(Error::posix(errnoValue));
    return error;
}

std::optional<Error> FileOperations::createDirectory(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (!ec) return std::nullopt;
    if (fs::is_directory(path)) return std::nullopt;
    return errorForErrno(ec.value(), "created", path, true);
}

std::optional<Error> FileOperations::removeItem(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return errorForErrno(errno, "removed", path, true);
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) return errorForErrno(ec.value(), "removed", path, true);
    return std::nullopt;
}

std::optional<Error> FileOperations::copyItem(const std::string& source,
                                              const std::string& destination) {
    struct stat info {};
    if (::lstat(source.c_str(), &info) != 0) return errorForErrno(errno, "copied", source, false);
    if (::lstat(destination.c_str(), &info) == 0) {
        return errorForErrno(EEXIST, "copied", destination, true);
    }
    std::error_code ec;
    fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             ec);
    if (!ec) return std::nullopt;
    std::error_code ignored;
    fs::remove_all(destination, ignored);
    return errorForErrno(ec.value(), "copied", destination, true);
}

std::optional<Error> FileOperations::moveItem(const std::string& source,
                                              const std::string& destination) {
    if (::rename(source.c_str(), destination.c_str()) != 0)
        return errorForErrno(errno, "moved", source, true);
    return std::nullopt;
}

std::optional<std::vector<std::string>> FileOperations::contentsOfDirectory(const std::string& path,
                                                                            Error* error) {
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        if (error) *error = errorForErrno(errno, "opened", path, false);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(directory);
    return names;
}

bool FileOperations::fileExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace skald::platform
