#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skald {

/// A URL split with the generic URI syntax: scheme, authority (user,
/// password, host, port), path, query and fragment. Parsing is lenient about
/// structure (a relative reference parses too, without a scheme) but refuses
/// text that a URL may not contain.
class Url {
  public:
    /// Nothing when the text holds a control character, a space, one of
    /// `"<>\^`{|}`, a non-ASCII byte or a broken percent escape, when the
    /// scheme is malformed, or when the port is not a number up to 65535.
    static std::optional<Url> parse(std::string_view text);

    /// "scheme://host[:port]path". `path` is the decoded form; characters a
    /// path may not hold are percent-encoded. Nothing if the result does not
    /// parse (for example a host with a space).
    static std::optional<Url> make(std::string_view scheme, std::string_view host,
                                   std::optional<int> port, std::string_view path);

    const std::optional<std::string>& scheme() const { return scheme_; }
    /// Percent-decoded user and password of the authority.
    const std::optional<std::string>& user() const { return user_; }
    const std::optional<std::string>& password() const { return password_; }
    /// As written; an IPv6 address keeps its brackets.
    const std::optional<std::string>& host() const { return host_; }
    const std::optional<int>& port() const { return port_; }
    /// The percent-decoded path; empty when the URL has none.
    std::string path() const;
    const std::string& percentEncodedPath() const { return path_; }
    /// "/" for a leading slash, then each non-empty segment, decoded. A
    /// trailing slash adds nothing.
    std::vector<std::string> pathComponents() const;
    /// The last path component, or the empty text when there is none.
    std::string lastPathComponent() const;
    /// Query and fragment as written (still percent-encoded).
    const std::optional<std::string>& query() const { return query_; }
    const std::optional<std::string>& fragment() const { return fragment_; }
    /// The text the URL was parsed from.
    const std::string& absoluteString() const { return text_; }

    bool operator==(const Url& other) const { return text_ == other.text_; }

  private:
    Url() = default;

    std::string text_;
    std::optional<std::string> scheme_;
    std::optional<std::string> user_;
    std::optional<std::string> password_;
    std::optional<std::string> host_;
    std::optional<int> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

}  // namespace skald
