#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace skald::platform {

/// Orders header names without regard to case, as HTTP compares them.
struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

using HttpHeaders = std::map<std::string, std::string, CaseInsensitiveLess>;

/// What came back for an HTTP request: status and headers.
struct HttpResponse {
    int statusCode = 0;
    HttpHeaders headers;
    /// Where the response came from, after any redirects.
    std::string url;
    /// The announced body length; -1 when the response did not say.
    int64_t expectedContentLength = -1;

    /// The value of a header, found without regard to case.
    std::optional<std::string> header(std::string_view name) const;

    /// The media type of "Content-Type" in lower case, without parameters.
    std::optional<std::string> mimeType() const;
};

}  // namespace skald::platform
