#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "model/data_category.h"
#include "skald/date.h"

namespace skald {

class CurrentDateProvider;

/// Parses "X-Skald-Rate-Limits": category → the date until which it is limited.
class RateLimitParser {
  public:
    explicit RateLimitParser(std::shared_ptr<CurrentDateProvider> dateProvider);
    std::map<DataCategory, Date> parse(std::string_view header) const;

  private:
    std::shared_ptr<CurrentDateProvider> dateProvider_;
};

/// Parses HTTP dates such as "Wed, 21 Oct 2015 07:28:00 GMT".
class HttpDateParser {
  public:
    std::optional<Date> dateFromString(std::string_view text) const;
};

/// Parses "Retry-After": a number of seconds, or an HTTP date.
class RetryAfterHeaderParser {
  public:
    RetryAfterHeaderParser(HttpDateParser httpDateParser,
                           std::shared_ptr<CurrentDateProvider> dateProvider);
    std::optional<Date> parse(std::optional<std::string_view> header) const;

  private:
    HttpDateParser httpDateParser_;
    std::shared_ptr<CurrentDateProvider> dateProvider_;
};

/// `now` plus a number of seconds from a peer, bounded so that absurd values
/// cannot overflow the date.
Date dateAfterSeconds(Date now, double seconds);

}  // namespace skald
