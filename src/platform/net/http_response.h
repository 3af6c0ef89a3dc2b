#pragma once

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
    std::string url;

    /// The value of a header, found without regard to case.
    std::optional<std::string> header(std::string_view name) const;
};

}  // namespace skald::platform
