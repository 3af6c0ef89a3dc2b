#pragma once

#include <curl/curl.h>

#include <cstdint>

namespace skald::platform {

/// The URL error code (kUrlError...) of a failed transfer; `osErrno` tells a
/// refused connection from an unreachable network.
int64_t urlErrorCode(CURLcode code, long osErrno);

}  // namespace skald::platform
