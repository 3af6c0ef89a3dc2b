#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skald {

/// Replaces the file at `path` with `bytes` so that readers see either the old
/// contents or all of the new ones: the bytes go to a temporary file in the
/// same folder (named "." + the file name + ".tmp-" + a random suffix, so that
/// folder listings can skip it), which is synced and then renamed over `path`.
/// The new file gets `mode`. On failure the temporary file is removed, the old
/// file is left as it was and `errorText` (when given) says why.
bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode = 0600,
                         std::string* errorText = nullptr);

/// What readRegularFile found at a path.
enum class FileReadStatus {
    Ok,
    Missing,         ///< nothing there
    NotRegularFile,  ///< a FIFO, device, socket, folder, or a symlink that is not followed
    TooLarge,        ///< a regular file over the caller's bound
    Failed,          ///< any other error (permissions, I/O)
};

struct FileRead {
    FileReadStatus status = FileReadStatus::Failed;
    std::string contents;   ///< the file's bytes when `ok()`
    std::string errorText;  ///< why not, for the log
    bool ok() const { return status == FileReadStatus::Ok; }
};

enum class Symlinks { Refuse, Follow };

/// Reads a whole regular file without ever blocking or reading without bound,
/// whatever was left under the name: the file is opened non-blocking (a FIFO
/// without a writer cannot hang the caller), with `Symlinks::Refuse` without
/// following a symlink in the last component, checked with fstat to be a
/// regular file, and refused when it holds more than `maxBytes` (checked
/// before and while reading, as the file may grow).
FileRead readRegularFile(const std::string& path, uint64_t maxBytes,
                         Symlinks symlinks = Symlinks::Refuse);

/// For files in the SDK's own folders, where anything may have been planted:
/// readRegularFile refusing symlinks. An entry that is there but cannot be one
/// of ours (not a regular file, or over `maxBytes`) is removed, a symlink as a
/// link and never its target, with a log line. Nothing when the file is
/// missing or unreadable; `status` (when given) tells which.
std::optional<std::string> readOwnFile(const std::string& path, uint64_t maxBytes,
                                       FileReadStatus* status = nullptr);

/// Removes an entry of one of the SDK's own folders that is not one of its
/// files, `why` saying what it is, with a log line: a symlink goes as a link
/// (never its target), a folder with everything in it (symlinks inside are
/// not followed either).
void removeForeignEntry(const std::string& path, const std::string& why);

/// The contents of a regular file wherever it is (symlinks are followed, so
/// that a caller's own paths work), non-blocking and, with `maxBytes`,
/// refused when larger.
std::optional<std::string> readFileContents(const std::string& path,
                                            std::string* errorText = nullptr,
                                            std::optional<uint64_t> maxBytes = std::nullopt);

/// Whether `name` is one of the temporary files of writeFileAtomically.
bool isAtomicWriteTemporaryName(std::string_view name);

/// Writes all of `bytes` to `fd`, going on after interruptions; false (errno
/// set) on the first failure.
bool writeAllBytes(int fd, std::string_view bytes);

}  // namespace skald
