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

/// The whole contents of a regular file. With `maxBytes`, at most that many
/// bytes plus one are read, so that callers can tell a file that grew past
/// their limit without reading all of it.
std::optional<std::string> readFileContents(const std::string& path,
                                            std::string* errorText = nullptr,
                                            std::optional<uint64_t> maxBytes = std::nullopt);

/// Whether `name` is one of the temporary files of writeFileAtomically.
bool isAtomicWriteTemporaryName(std::string_view name);

}  // namespace skald
