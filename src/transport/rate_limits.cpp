#include "transport/rate_limits.h"

#include "skald/platform/http_response.h"
#include "util/current_date_provider.h"

namespace skald {

void ConcurrentRateLimitsDictionary::addRateLimit(DataCategory category, Date validUntil) {
    std::lock_guard guard(mutex_);
    limits_[category] = validUntil;
}

std::optional<Date> ConcurrentRateLimitsDictionary::getRateLimitForCategory(
    DataCategory category) const {
    std::lock_guard guard(mutex_);
    const auto found = limits_.find(category);
    if (found == limits_.end()) return std::nullopt;
    return found->second;
}

DefaultRateLimits::DefaultRateLimits(RetryAfterHeaderParser retryAfterParser,
                                     RateLimitParser rateLimitParser,
                                     std::shared_ptr<CurrentDateProvider> dateProvider)
    : retryAfterParser_(std::move(retryAfterParser)),
      rateLimitParser_(std::move(rateLimitParser)),
      dateProvider_(dateProvider),
      dateUtil_(dateProvider) {}

bool DefaultRateLimits::isRateLimitActive(DataCategory category) {
    return dateUtil_.isInFuture(limits_.getRateLimitForCategory(category)) ||
           dateUtil_.isInFuture(limits_.getRateLimitForCategory(DataCategory::All));
}

void DefaultRateLimits::update(const platform::HttpResponse& response) {
    if (const auto header = response.header("X-Skald-Rate-Limits")) {
        for (const auto& [category, until] : rateLimitParser_.parse(*header)) {
            extend(category, until);
        }
        return;
    }
    if (response.statusCode == 429) {
        const auto retryAfter = response.header("Retry-After");
        auto until = retryAfterParser_.parse(
            retryAfter ? std::optional<std::string_view>(*retryAfter) : std::nullopt);
        if (!until) until = dateAfterSeconds(dateProvider_->date(), 60);
        extend(DataCategory::All, *until);
    }
}

void DefaultRateLimits::extend(DataCategory category, Date until) {
    const auto later = DateUtil::getMaximumDate(until, limits_.getRateLimitForCategory(category));
    if (later) limits_.addRateLimit(category, *later);
}

}  // namespace skald
