#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "skald/platform/http_response.h"

namespace skald::platform {

/// Whether a request may be answered from a local cache. Sessions here keep
/// no response cache, so both policies fetch from the network; the field is
/// kept so that callers can state their intent.
enum class UrlRequestCachePolicy {
    UseProtocolCachePolicy,
    ReloadIgnoringLocalCacheData,
};

/// Which redirects a task follows on its own. Whatever the policy, a hop to
/// another origin (scheme, host or port) carries none of the request's
/// headers, and a 301, 302 or 303 turns a POST into a body-less GET.
enum class UrlRedirectPolicy {
    /// Redirects are not followed: the redirect is the task's response.
    None,
    /// Only to the same scheme, host and port; any other target fails the
    /// task without a response. For requests that carry credentials.
    SameOrigin,
    /// Anywhere over http or https except from https to http, which fails
    /// the task without a response.
    NoDowngrade,
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
    /// Unset: the session configuration's policy.
    std::optional<UrlRedirectPolicy> redirectPolicy;

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
