#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "skald/date.h"

namespace skald {

class CurrentDateProvider;

/// Date comparisons against the SDK's clock.
class DateUtil {
  public:
    explicit DateUtil(std::shared_ptr<CurrentDateProvider> dateProvider);

    /// Whether `date` is later than the provider's current date; false for no date.
    bool isInFuture(std::optional<Date> date) const;

    /// The later of two dates; `other` when they are equal; nothing when both are absent.
    static std::optional<Date> getMaximumDate(std::optional<Date> date, std::optional<Date> other);

    /// Milliseconds since 1970, truncated toward zero.
    static int64_t millisecondsSince1970(Date date);

  private:
    std::shared_ptr<CurrentDateProvider> dateProvider_;
};

}  // namespace skald
