#pragma once

#include <optional>
#include <string>

namespace skald {

/// Whole-file reads and writes for the host. With file I/O tracing on and a
/// span bound to the scope, each one is recorded as a "file.read" or
/// "file.write" child span; the SDK's own files are never recorded. None of
/// them throws.

/// The bytes of the regular file at `path` (symlinks are followed); nothing
/// when it cannot be read, is no regular file (a FIFO or device would block)
/// or holds more than 1 GiB.
std::optional<std::string> readFileData(const std::string& path);

/// Writes `data` to `path`. `atomically`: through a synced temporary file in
/// the same folder renamed over `path`, so that readers see the old bytes or
/// all of the new ones. A new file gets 0666 less the umask; a file that is
/// replaced keeps its permissions. False on failure; anything there that is
/// no regular file is not written into.
bool writeFileData(const std::string& data, const std::string& path, bool atomically = true);

/// readFileData for a "file://" URL (empty or "localhost" host, percent-decoded
/// path); nothing for any other URL.
std::optional<std::string> readFileDataFromUrl(const std::string& fileUrl);

}  // namespace skald
