// Feeds arbitrary text to the "X-Skald-Rate-Limits" and "Retry-After" parsers.
// Parsed limits must lie in the future of the parser's clock.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "transport/rate_limit_parsers.h"
#include "util/current_date_provider.h"

namespace {

class FixedDateProvider final : public skald::CurrentDateProvider {
  public:
    skald::Date date() override { return skald::dateWithTimeIntervalSince1970(1714558830.0); }
    int64_t timezoneOffset() override { return 0; }
    uint64_t systemTime() override { return 0; }
    double systemUptime() override { return 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto clock = std::make_shared<FixedDateProvider>();
    static const skald::RateLimitParser rateLimitParser(clock);
    static const skald::RetryAfterHeaderParser retryAfterParser(skald::HttpDateParser(), clock);

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const skald::Date now = clock->date();
    for (const auto& [category, until] : rateLimitParser.parse(text)) {
        if (until <= now || static_cast<uint32_t>(category) > 12) std::abort();
    }
    (void)retryAfterParser.parse(text);
    (void)skald::HttpDateParser().dateFromString(text);
    return 0;
}
