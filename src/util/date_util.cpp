#include "util/date_util.h"

#include "util/current_date_provider.h"

namespace skald {

DateUtil::DateUtil(std::shared_ptr<CurrentDateProvider> dateProvider)
    : dateProvider_(std::move(dateProvider)) {}

bool DateUtil::isInFuture(std::optional<Date> date) const {
    if (!date || !dateProvider_) return false;
    return *date > dateProvider_->date();
}

std::optional<Date> DateUtil::getMaximumDate(std::optional<Date> date, std::optional<Date> other) {
    if (!date) return other;
    if (!other) return date;
    return *date > *other ? date : other;
}

int64_t DateUtil::millisecondsSince1970(Date date) {
    // Round away the sub-microsecond noise of dates made from double seconds,
    // then truncate as the integer conversion of seconds times 1000 would.
    const auto micros = std::chrono::round<std::chrono::microseconds>(date.time_since_epoch());
    return std::chrono::duration_cast<std::chrono::milliseconds>(micros).count();
}

}  // namespace skald
