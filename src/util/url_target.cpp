#include "skald/url_target.h"

#include "platform/process/no_destructor.h"

namespace skald {

std::optional<RegularExpression> RegularExpression::make(std::string pattern,
                                                         bool caseInsensitive) {
    auto flags = std::regex::ECMAScript;
    if (caseInsensitive) flags |= std::regex::icase;
    try {
        auto compiled = std::make_shared<const std::regex>(pattern, flags);
        return RegularExpression(std::move(pattern), caseInsensitive, std::move(compiled));
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
}

bool RegularExpression::search(std::string_view text) const {
    try {
        return std::regex_search(text.begin(), text.end(), *compiled_);
    } catch (const std::regex_error&) {
        return false;
    }
}

UrlTarget UrlTarget::other(std::string description) {
    return UrlTarget(Kind::Other, std::move(description));
}

UrlTarget UrlTarget::matchAll() {
    static const platform::NoDestructor<RegularExpression> all(
        *RegularExpression::make(".*", true));
    return UrlTarget(*all);
}

bool UrlTarget::matches(std::string_view url) const {
    switch (kind_) {
        case Kind::Text:
            return url.find(text_) != std::string_view::npos;
        case Kind::RegularExpression:
            return expression_->search(url);
        case Kind::Other:
            return false;
    }
    return false;
}

}  // namespace skald
