#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/net/http_response.h"

namespace skald::platform {

/// Whether a request may be answered from a local cache. Sessions here keep
/// no response cache, so both policies fetch from the network; the field is
/// kept so that callers can state their intent.
enum class UrlRequestCachePolicy {
    UseProtocolCachePolicy,
    ReloadIgnoringLocalCacheData,
};

/// An HTTP request as handed to a URL session.
struct UrlRequest {
    /// Seconds a request may stay without any traffic before it fails as
    /// timed out, as platforms default it.
    static constexpr double kDefaultTimeoutInterval = 60;

    std::string url;
    std::string httpMethod = "GET";
    HttpHeaders headers;
    std::string httpBody;
    double timeoutInterval = kDefaultTimeoutInterval;
    UrlRequestCachePolicy cachePolicy = UrlRequestCachePolicy::UseProtocolCachePolicy;

    UrlRequest() = default;
    explicit UrlRequest(std::string url) : url(std::move(url)) {}

    std::optional<std::string> valueForHeader(std::string_view name) const {
        const auto found = headers.find(name);
        if (found == headers.end()) return std::nullopt;
        return found->second;
    }
    /// Replaces any header of the same name, whatever its case.
    void setValueForHeader(std::string value, std::string_view name) {
        headers.erase(std::string(name));
        headers.emplace(std::string(name), std::move(value));
    }
};

}  // namespace skald::platform
