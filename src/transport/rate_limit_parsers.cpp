#include "transport/rate_limit_parsers.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "util/current_date_provider.h"

namespace skald {

namespace {

// A century is far beyond any limit a service announces, and far from overflow.
constexpr double kMaxLimitSeconds = 100.0 * 365 * 24 * 3600;

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// A plain decimal number: optional sign, digits, optional fraction; nothing else.
std::optional<double> parseDecimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    double value = 0;
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (result.ec != std::errc() || result.ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

bool appliesToCustomMetrics(const std::vector<std::string_view>& fields) {
    if (fields.size() <= 4 || fields[4].empty()) return true;
    for (auto name : split(fields[4], ';')) {
        if (name == "custom") return true;
    }
    return false;
}

}  // namespace

Date dateAfterSeconds(Date now, double seconds) {
    seconds = std::clamp(seconds, -kMaxLimitSeconds, kMaxLimitSeconds);
    return now + std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds));
}

RateLimitParser::RateLimitParser(std::shared_ptr<CurrentDateProvider> dateProvider)
    : dateProvider_(std::move(dateProvider)) {}

std::map<DataCategory, Date> RateLimitParser::parse(std::string_view header) const {
    std::map<DataCategory, Date> result;
    if (header.empty()) return result;

    std::string compact;
    compact.reserve(header.size());
    for (char c : header) {
        if (!std::isspace(static_cast<unsigned char>(c))) compact.push_back(c);
    }

    const Date now = dateProvider_->date();
    for (auto quota : split(compact, ',')) {
        const auto fields = split(quota, ':');
        const auto seconds = parseDecimal(fields[0]);
        if (!seconds || std::trunc(*seconds) <= 0) continue;
        const Date until = dateAfterSeconds(now, std::trunc(*seconds));

        std::vector<DataCategory> categories;
        const std::string_view names = fields.size() > 1 ? fields[1] : std::string_view();
        if (names.empty()) {
            categories.push_back(DataCategory::All);
        } else {
            for (auto name : split(names, ';')) {
                const auto category = dataCategoryForString(name);
                if (category == DataCategory::UserReport || category == DataCategory::Unknown) {
                    continue;
                }
                categories.push_back(category);
            }
        }

        for (auto category : categories) {
            if (category == DataCategory::MetricBucket && !appliesToCustomMetrics(fields)) continue;
            auto [entry, inserted] = result.try_emplace(category, until);
            if (!inserted && entry->second < until) entry->second = until;
        }
    }
    return result;
}

std::optional<Date> HttpDateParser::dateFromString(std::string_view text) const {
    // "EEE, dd MMM yyyy HH:mm:ss zzz", always in GMT.
    static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                         "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (text.size() < 29) return std::nullopt;
    auto number = [&](size_t pos, size_t len) -> std::optional<int> {
        int value = 0;
        for (size_t i = pos; i < pos + len; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const auto day3 = text.substr(0, 3);
    if (std::none_of(kDays.begin(), kDays.end(), [&](const char* d) { return day3 == d; })) {
        return std::nullopt;
    }
    if (text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' || text[16] != ' ' ||
        text[19] != ':' || text[22] != ':' || text[25] != ' ') {
        return std::nullopt;
    }
    const auto zone = text.substr(26);
    if (zone != "GMT" && zone != "UTC") return std::nullopt;
    const auto day = number(5, 2);
    const auto year = number(12, 4);
    const auto hour = number(17, 2);
    const auto minute = number(20, 2);
    const auto second = number(23, 2);
    const auto monthName = text.substr(8, 3);
    const auto month =
        std::find_if(kMonths.begin(), kMonths.end(), [&](const char* m) { return monthName == m; });
    if (!day || !year || !hour || !minute || !second || month == kMonths.end()) return std::nullopt;
    if (*day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    // Our dates count nanoseconds and cannot hold years far from today.
    if (*year < 1678 || *year > 2261) return std::nullopt;

    const std::chrono::year_month_day date{
        std::chrono::year(*year),
        std::chrono::month(static_cast<unsigned>(month - kMonths.begin() + 1)),
        std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok()) return std::nullopt;
    return Date(std::chrono::sys_days(date)) + std::chrono::hours(*hour) +
           std::chrono::minutes(*minute) + std::chrono::seconds(*second);
}

RetryAfterHeaderParser::RetryAfterHeaderParser(HttpDateParser httpDateParser,
                                               std::shared_ptr<CurrentDateProvider> dateProvider)
    : httpDateParser_(httpDateParser), dateProvider_(std::move(dateProvider)) {}

std::optional<Date> RetryAfterHeaderParser::parse(std::optional<std::string_view> header) const {
    if (!header || header->empty()) return std::nullopt;

    // The leading integer: white space, an optional sign, then digits.
    std::string_view text = *header;
    size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    double seconds = 0;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        seconds = std::min(seconds * 10 + (text[pos++] - '0'), kMaxLimitSeconds);
    }
    if (seconds != 0) return dateAfterSeconds(dateProvider_->date(), negative ? -seconds : seconds);
    return httpDateParser_.dateFromString(text);
}

}  // namespace skald
