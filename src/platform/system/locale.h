#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "skald/json.h"

namespace skald::platform {

/// The user's locale as the environment names it (LC_ALL, then LC_MESSAGES,
/// then LANG; the first that is set and non-empty wins).
class Locale {
  public:
    /// The locale of the environment at the moment of the call.
    static Locale current();

    /// A locale from a POSIX name such as "de_DE.UTF-8" or "sr_RS@latin".
    /// "C", "POSIX" (with or without a code set) and names that are not of the
    /// form language[_territory] become "en_US_POSIX": the C locale's texts are
    /// American English with computer conventions, which is what that
    /// identifier stands for elsewhere.
    static Locale fromPosixName(std::string_view posixName);

    /// "de_DE" for "de_DE.UTF-8": language and territory without code set or
    /// modifier.
    const std::string& identifier() const { return identifier_; }
    /// The name the locale was made from, as the C library knows it.
    const std::string& posixName() const { return posixName_; }

    /// The identifier in English, e.g. "German (Germany)". Languages and
    /// regions outside a small table of common ones fall back to their codes;
    /// an unknown language gives the identifier itself.
    std::string displayName() const;

    /// Always "gregorian": the C library knows no other calendar.
    static std::string calendarIdentifier() { return "gregorian"; }
    /// The calendar's name in English.
    static std::string calendarDisplayName() { return "Gregorian Calendar"; }

    /// Whether times are written on a 24-hour clock: from the locale's time
    /// format when the C library has that locale installed, else only American
    /// English ("en_US") counts as 12-hour.
    bool uses24HourClock() const;

  private:
    bool readUses24HourClock() const;
    Locale(std::string identifier, std::string posixName)
        : identifier_(std::move(identifier)), posixName_(std::move(posixName)) {}

    std::string identifier_;
    std::string posixName_;
};

/// The POSIX locale name the environment selects for messages; "C" when none.
std::string environmentLocaleName();

/// Whether a strftime time format such as nl_langinfo(T_FMT) gives shows a
/// 12-hour clock ("%I", "%l", "%r" or an AM/PM field).
bool timeFormatIs12Hour(std::string_view format);

/// The name of the time zone: from TZ when set, else the target of the
/// /etc/localtime link below its "zoneinfo/" folder, else the first line of
/// /etc/timezone, else "UTC".
std::string currentTimeZoneName();

/// The same with the three sources given, for tests. `tz` is the value of TZ
/// (nothing when unset).
std::string timeZoneName(const std::optional<std::string>& tz, const std::string& localtimePath,
                         const std::string& timezoneFilePath);

/// The "culture" context of events: "calendar", "display_name", "locale",
/// "is_24_hour_format" and "timezone", for the current locale and zone.
Json cultureContext();

}  // namespace skald::platform
