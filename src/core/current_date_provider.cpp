#include "core/current_date_provider.h"

#include <time.h>

namespace skald {

Date DefaultCurrentDateProvider::date() {
    return std::chrono::system_clock::now();
}

int64_t DefaultCurrentDateProvider::timezoneOffset() {
    const time_t now = ::time(nullptr);
    struct tm local {};
    if (::localtime_r(&now, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

uint64_t DefaultCurrentDateProvider::systemTime() {
    // CLOCK_MONOTONIC stops while the machine sleeps, like the uptime clock it stands for.
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double DefaultCurrentDateProvider::systemUptime() {
    return static_cast<double>(systemTime()) / 1e9;
}

}  // namespace skald
