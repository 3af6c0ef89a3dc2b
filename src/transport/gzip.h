#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "skald/error.h"

namespace skald {

/// Deflate with a gzip wrapper. Empty input gives empty output (no header).
/// Nothing, with `error` set, when the stream cannot be set up or finished.
std::optional<std::string> gzipCompress(std::string_view data, int level, Error* error = nullptr);

/// zlib's default compression level.
inline constexpr int kDefaultCompressionLevel = -1;

}  // namespace skald
