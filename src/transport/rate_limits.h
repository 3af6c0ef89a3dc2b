#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "model/data_category.h"
#include "skald/date.h"
#include "transport/rate_limit_parsers.h"
#include "util/date_util.h"

namespace skald {

namespace platform {
struct HttpResponse;
}

/// What the service currently forbids sending.
class RateLimits {
  public:
    virtual ~RateLimits() = default;
    virtual bool isRateLimitActive(DataCategory category) = 0;
    virtual void update(const platform::HttpResponse& response) = 0;
};

/// Category → date until which it is limited, safe to use from any thread.
class ConcurrentRateLimitsDictionary {
  public:
    void addRateLimit(DataCategory category, Date validUntil);
    std::optional<Date> getRateLimitForCategory(DataCategory category) const;

  private:
    mutable std::mutex mutex_;
    std::map<DataCategory, Date> limits_;
};

class DefaultRateLimits final : public RateLimits {
  public:
    DefaultRateLimits(RetryAfterHeaderParser retryAfterParser, RateLimitParser rateLimitParser,
                      std::shared_ptr<CurrentDateProvider> dateProvider);

    bool isRateLimitActive(DataCategory category) override;
    void update(const platform::HttpResponse& response) override;

  private:
    // Never moves a stored date earlier.
    void extend(DataCategory category, Date until);

    ConcurrentRateLimitsDictionary limits_;
    RetryAfterHeaderParser retryAfterParser_;
    RateLimitParser rateLimitParser_;
    std::shared_ptr<CurrentDateProvider> dateProvider_;
    DateUtil dateUtil_;
};

}  // namespace skald
