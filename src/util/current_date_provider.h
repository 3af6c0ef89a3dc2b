#pragma once

#include <cstdint>
#include <memory>

#include "skald/date.h"

namespace skald {

/// The one source of time for every timestamp of the SDK. Replaceable in tests.
class CurrentDateProvider {
  public:
    virtual ~CurrentDateProvider() = default;

    /// The current wall-clock date.
    virtual Date date() = 0;
    /// The current time zone's offset from GMT in seconds.
    virtual int64_t timezoneOffset() = 0;
    /// Monotonic time in nanoseconds that does not advance while the machine sleeps.
    virtual uint64_t systemTime() = 0;
    /// Seconds since the system started.
    virtual double systemUptime() = 0;
};

class DefaultCurrentDateProvider final : public CurrentDateProvider {
  public:
    Date date() override;
    int64_t timezoneOffset() override;
    uint64_t systemTime() override;
    double systemUptime() override;
};

/// The date provider of the process: what records, the disk cache and client
/// reports stamp themselves with. The SDK's dependency container hands its
/// own provider down to here, so that the layers below it agree with it
/// without reaching up to it.
std::shared_ptr<CurrentDateProvider> processDateProvider();
/// Null restores the system clock.
void setProcessDateProvider(std::shared_ptr<CurrentDateProvider> provider);
/// processDateProvider()->date().
Date currentDate();

}  // namespace skald
