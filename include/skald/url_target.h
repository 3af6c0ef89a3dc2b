#pragma once

#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace skald {

/// A compiled regular expression (ECMAScript syntax) that remembers its
/// pattern and case sensitivity. Copies share the compiled form.
class RegularExpression {
  public:
    /// Nothing when the pattern does not compile.
    static std::optional<RegularExpression> make(std::string pattern, bool caseInsensitive = false);

    const std::string& pattern() const { return pattern_; }
    bool caseInsensitive() const { return caseInsensitive_; }
    const std::shared_ptr<const std::regex>& compiled() const { return compiled_; }

    /// Whether the expression matches somewhere in `text`. A match that the
    /// engine gives up on (too complex) counts as no match.
    bool search(std::string_view text) const;

  private:
    RegularExpression(std::string pattern, bool caseInsensitive,
                      std::shared_ptr<const std::regex> compiled)
        : pattern_(std::move(pattern)),
          caseInsensitive_(caseInsensitive),
          compiled_(std::move(compiled)) {}

    std::string pattern_;
    bool caseInsensitive_ = false;
    std::shared_ptr<const std::regex> compiled_;
};

/// One entry of `tracePropagationTargets` or `failedRequestTargets`: a text
/// (matches URLs containing it), a regular expression (matches URLs in which
/// it finds a match), or something else a host put in the list, kept with a
/// description of it and matching nothing.
class UrlTarget {
  public:
    enum class Kind { Text, RegularExpression, Other };

    UrlTarget(std::string text) : kind_(Kind::Text), text_(std::move(text)) {}
    UrlTarget(const char* text) : UrlTarget(std::string(text)) {}
    UrlTarget(skald::RegularExpression expression)
        : kind_(Kind::RegularExpression), expression_(std::move(expression)) {}

    /// An entry of an unsupported kind.
    static UrlTarget other(std::string description);

    /// The case-insensitive ".*" that both lists start with; every call
    /// shares one compiled expression.
    static UrlTarget matchAll();

    Kind kind() const { return kind_; }
    /// The text of a text entry, or the description of an unsupported one.
    const std::string& text() const { return text_; }
    /// The expression of a regular-expression entry, else null.
    const skald::RegularExpression* regularExpression() const {
        return expression_ ? &*expression_ : nullptr;
    }

    bool matches(std::string_view url) const;

  private:
    UrlTarget(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
    std::optional<skald::RegularExpression> expression_;
};

}  // namespace skald
