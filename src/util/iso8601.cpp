#include "util/iso8601.h"

#include <cstdio>
#include <limits>

namespace skald {

namespace {

using std::chrono::days;
using std::chrono::milliseconds;
using std::chrono::sys_days;

void writeDigits(char* out, int64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

bool readDigits(std::string_view text, size_t offset, size_t count, int& value) {
    value = 0;
    for (size_t i = offset; i < offset + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

}  // namespace

std::string formatIso8601Timestamp(Date date) {
    // Dates made from double seconds carry sub-microsecond noise (x.123 s is
    // stored as x.122999906 s); rounding to microseconds first keeps that noise
    // from showing up as the millisecond below.
    const auto micros = std::chrono::round<std::chrono::microseconds>(date.time_since_epoch());
    const auto millis = std::chrono::floor<milliseconds>(micros);
    const sys_days day = std::chrono::floor<days>(std::chrono::sys_time<milliseconds>(millis));
    const std::chrono::year_month_day ymd(day);
    const std::chrono::hh_mm_ss<milliseconds> time(millis - day.time_since_epoch());

    const int year = static_cast<int>(ymd.year());
    if (year < 0 || year > 9999) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%d-%02u-%02uT%02ld:%02ld:%02lld.%03lldZ", year,
                      static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                      static_cast<long>(time.hours().count()),
                      static_cast<long>(time.minutes().count()),
                      static_cast<long long>(time.seconds().count()),
                      static_cast<long long>(time.subseconds().count()));
        return buffer;
    }
    char buffer[24];
    writeDigits(buffer, year, 4);
    buffer[4] = '-';
    writeDigits(buffer + 5, static_cast<unsigned>(ymd.month()), 2);
    buffer[7] = '-';
    writeDigits(buffer + 8, static_cast<unsigned>(ymd.day()), 2);
    buffer[10] = 'T';
    writeDigits(buffer + 11, time.hours().count(), 2);
    buffer[13] = ':';
    writeDigits(buffer + 14, time.minutes().count(), 2);
    buffer[16] = ':';
    writeDigits(buffer + 17, time.seconds().count(), 2);
    buffer[19] = '.';
    writeDigits(buffer + 20, time.subseconds().count(), 3);
    buffer[23] = 'Z';
    return std::string(buffer, sizeof buffer);
}

std::optional<Date> parseIso8601Timestamp(std::string_view text) {
    constexpr size_t kWithMillis = 24;       // yyyy-MM-ddTHH:mm:ss.SSSZ
    constexpr size_t kWithoutFraction = 20;  // yyyy-MM-ddTHH:mm:ssZ
    if (text.size() != kWithMillis && text.size() != kWithoutFraction) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
        text.back() != 'Z') {
        return std::nullopt;
    }
    int year, month, day, hour, minute, second, millis = 0;
    if (!readDigits(text, 0, 4, year) || !readDigits(text, 5, 2, month) ||
        !readDigits(text, 8, 2, day) || !readDigits(text, 11, 2, hour) ||
        !readDigits(text, 14, 2, minute) || !readDigits(text, 17, 2, second)) {
        return std::nullopt;
    }
    if (text.size() == kWithMillis && (text[19] != '.' || !readDigits(text, 20, 3, millis))) {
        return std::nullopt;
    }
    const std::chrono::year_month_day ymd{std::chrono::year(year),
                                          std::chrono::month(static_cast<unsigned>(month)),
                                          std::chrono::day(static_cast<unsigned>(day))};
    if (!ymd.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;

    const auto sinceEpoch = sys_days(ymd).time_since_epoch() + std::chrono::hours(hour) +
                            std::chrono::minutes(minute) + std::chrono::seconds(second) +
                            milliseconds(millis);
    // Date counts in a finer unit than milliseconds; refuse what it cannot hold.
    const auto limit = std::chrono::duration_cast<milliseconds>(Date::duration::max());
    if (sinceEpoch > limit || sinceEpoch < -limit) return std::nullopt;
    return Date(std::chrono::duration_cast<Date::duration>(sinceEpoch));
}

}  // namespace skald
