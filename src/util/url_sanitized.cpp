#include "util/url_sanitized.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "platform/base/percent.h"
#include "skald/url.h"

namespace skald {

namespace {

std::string upperCased(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
}

}  // namespace

UrlSanitized::UrlSanitized(const std::string& url) {
    const auto parsed = Url::parse(url);
    if (!parsed) return;
    query_ = parsed->query();
    fragment_ = parsed->fragment();
    if (query_) {
        std::string_view rest = *query_;
        while (!rest.empty()) {
            const auto end = rest.find('&');
            const std::string_view item = rest.substr(0, end);
            if (!item.empty()) {
                const auto equals = item.find('=');
                queryItems_.emplace_back(platform::percentDecode(item.substr(0, equals)),
                                         equals == std::string_view::npos
                                             ? std::string()
                                             : platform::percentDecode(item.substr(equals + 1)));
            }
            if (end == std::string_view::npos) break;
            rest.remove_prefix(end + 1);
        }
    }

    // The text again, with the credentials replaced.
    std::string text;
    if (parsed->scheme()) text += *parsed->scheme() + ":";
    if (parsed->host()) {
        text += "//";
        if (parsed->user()) {
            text += kSensitiveDataSubstitute;
            if (parsed->password()) text += std::string(":") + kSensitiveDataSubstitute;
            text += "@";
        }
        text += *parsed->host();
        if (parsed->port()) text += ":" + std::to_string(*parsed->port());
    }
    text += parsed->percentEncodedPath();
    sanitizedUrl_ = platform::percentDecode(text);
}

std::map<std::string, std::string> sanitizeHttpHeaders(
    const std::map<std::string, std::string>& headers) {
    static constexpr std::array<std::string_view, 12> kSensitive = {
        "X-FORWARDED-FOR",     "AUTHORIZATION", "COOKIE",      "SET-COOKIE",
        "X-API-KEY",           "X-REAL-IP",     "REMOTE-ADDR", "FORWARDED",
        "PROXY-AUTHORIZATION", "X-CSRF-TOKEN",  "X-CSRFTOKEN", "X-XSRF-TOKEN"};
    std::map<std::string, std::string> kept;
    for (const auto& [name, value] : headers) {
        const std::string upper = upperCased(name);
        if (std::find(kSensitive.begin(), kSensitive.end(), upper) == kSensitive.end())
            kept.emplace(name, value);
    }
    return kept;
}

}  // namespace skald
