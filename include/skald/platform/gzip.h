#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "skald/error.h"

namespace skald {

/// Deflate with a gzip wrapper. Empty input gives empty output (no header).
/// Nothing, with `error` set, when the stream cannot be set up or finished.
std::optional<std::string> gzipCompress(std::string_view data, int level, Error* error = nullptr);

/// Inflates a gzip stream. Nothing unless the input is one complete, valid
/// stream whose output stays within `maxSize` bytes.
std::optional<std::string> gzipDecompress(std::string_view data, size_t maxSize);

/// zlib's default compression level.
inline constexpr int kDefaultCompressionLevel = -1;

}  // namespace skald
