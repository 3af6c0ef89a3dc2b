#include "util/current_date_provider.h"

#include <time.h>

#include <mutex>

#include "platform/process/no_destructor.h"

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

namespace {

struct ProcessClock {
    std::mutex mutex;
    std::shared_ptr<CurrentDateProvider> provider = std::make_shared<DefaultCurrentDateProvider>();
};

ProcessClock& processClock() {
    static platform::NoDestructor<ProcessClock> clock;
    return *clock;
}

}  // namespace

std::shared_ptr<CurrentDateProvider> processDateProvider() {
    std::lock_guard guard(processClock().mutex);
    return processClock().provider;
}

void setProcessDateProvider(std::shared_ptr<CurrentDateProvider> provider) {
    if (!provider) provider = std::make_shared<DefaultCurrentDateProvider>();
    std::lock_guard guard(processClock().mutex);
    processClock().provider = std::move(provider);
}

Date currentDate() {
    return processDateProvider()->date();
}

}  // namespace skald
