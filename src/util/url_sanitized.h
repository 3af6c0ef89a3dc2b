#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace skald {

/// A URL with its credentials filtered, split for request tracking: the URL
/// without query and fragment, and both of those apart.
class UrlSanitized {
  public:
    static constexpr const char* kSensitiveDataSubstitute = "[Filtered]";

    explicit UrlSanitized(const std::string& url);

    /// Cut before "?" (or else "#"), percent-decoded; nothing when the URL
    /// does not parse.
    const std::optional<std::string>& sanitizedUrl() const { return sanitizedUrl_; }
    const std::optional<std::string>& query() const { return query_; }
    /// The query's "name=value" items; an item without "=" has an empty value.
    const std::vector<std::pair<std::string, std::string>>& queryItems() const {
        return queryItems_;
    }
    const std::optional<std::string>& fragment() const { return fragment_; }

  private:
    std::optional<std::string> sanitizedUrl_;
    std::optional<std::string> query_;
    std::vector<std::pair<std::string, std::string>> queryItems_;
    std::optional<std::string> fragment_;
};

/// A copy of `headers` without those that carry credentials or addresses
/// (authorization, cookies, forwarding and client-address headers), whatever
/// the case of their names.
std::map<std::string, std::string> sanitizeHttpHeaders(
    const std::map<std::string, std::string>& headers);

}  // namespace skald
