#pragma once

#include <optional>
#include <string>
#include <vector>

#include "skald/error.h"

namespace skald::platform {

/// File errors carry the codes callers on the other platform compare against.
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";

enum CocoaErrorCode : int64_t {
    kFileNoSuchFileError = 4,
    kFileReadUnknownError = 256,
    kFileReadNoPermissionError = 257,
    kFileWriteUnknownError = 512,
    kFileWriteNoPermissionError = 513,
    kFileWriteFileExistsError = 516,
    kFileWriteOutOfSpaceError = 640,
    kFileWriteVolumeReadOnlyError = 642,
};

/// The file manager the installer works with: every failure is an error value
/// with a Cocoa code, the path and a readable description; nothing throws.
class FileOperations {
  public:
    /// With intermediate directories; an existing directory is no error.
    static std::optional<Error> createDirectory(const std::string& path);
    /// Files, links and whole directory trees.
    static std::optional<Error> removeItem(const std::string& path);
    /// Copies a file or a directory tree (links stay links). An existing
    /// destination is an error of code 516; a failed copy leaves nothing behind.
    static std::optional<Error> copyItem(const std::string& source, const std::string& destination);
    /// rename(2), so the destination appears whole or not at all.
    static std::optional<Error> moveItem(const std::string& source, const std::string& destination);
    /// Entry names of a directory, in the order the system lists them.
    static std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path,
                                                                       Error* error);
    static bool fileExists(const std::string& path);

    /// An error of the Cocoa domain for the system error `errnoValue`, which
    /// it carries as its underlying error.
    static Error errorForErrno(int errnoValue, const std::string& action, const std::string& path,
                               bool writing);
};

}  // namespace skald::platform
