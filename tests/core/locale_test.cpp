#include "platform/system/locale.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_directory.h"

namespace skald::platform {
namespace {

using test::ScopedEnv;
using test::TempDirectory;

TEST(LocaleTest, EnvironmentPrecedenceIsLcAllThenLcMessagesThenLang) {
    ScopedEnv all("LC_ALL", "fr_FR.UTF-8");
    ScopedEnv messages("LC_MESSAGES", "de_AT.UTF-8");
    ScopedEnv lang("LANG", "sv_SE.UTF-8");
    EXPECT_EQ(Locale::current().identifier(), "fr_FR");
    {
        ScopedEnv noAll("LC_ALL", std::nullopt);
        EXPECT_EQ(Locale::current().identifier(), "de_AT");
        ScopedEnv emptyMessages("LC_MESSAGES", "");  // empty counts as unset
        EXPECT_EQ(Locale::current().identifier(), "sv_SE");
        ScopedEnv noLang("LANG", std::nullopt);
        EXPECT_EQ(Locale::current().identifier(), "en_US_POSIX");
        EXPECT_EQ(Locale::current().posixName(), "C");
    }
    EXPECT_EQ(Locale::current().identifier(), "fr_FR") << "variables restored";
}

TEST(LocaleTest, PosixNamesBecomeIdentifiers) {
    EXPECT_EQ(Locale::fromPosixName("de_DE.UTF-8").identifier(), "de_DE");
    EXPECT_EQ(Locale::fromPosixName("sr_RS@latin").identifier(), "sr_RS");
    EXPECT_EQ(Locale::fromPosixName("ca_ES.UTF-8@valencia").identifier(), "ca_ES");
    EXPECT_EQ(Locale::fromPosixName("ja").identifier(), "ja");
    EXPECT_EQ(Locale::fromPosixName("es_419").identifier(), "es_419");
    EXPECT_EQ(Locale::fromPosixName("de_DE.UTF-8").posixName(), "de_DE.UTF-8");
    for (const char* posix :
         {"C", "POSIX", "C.UTF-8", "C.utf8", "", "not a locale", "de_DEU", "english_US", "_DE"}) {
        EXPECT_EQ(Locale::fromPosixName(posix).identifier(), "en_US_POSIX") << posix;
    }
}

TEST(LocaleTest, DisplayNamesInEnglishFallBackToCodes) {
    EXPECT_EQ(Locale::fromPosixName("de_DE.UTF-8").displayName(), "German (Germany)");
    EXPECT_EQ(Locale::fromPosixName("en_GB").displayName(), "English (United Kingdom)");
    EXPECT_EQ(Locale::fromPosixName("fr").displayName(), "French");
    EXPECT_EQ(Locale::fromPosixName("de_XY").displayName(), "German (XY)");
    EXPECT_EQ(Locale::fromPosixName("qq_DE").displayName(), "qq_DE");
    EXPECT_EQ(Locale::fromPosixName("C").displayName(), "English (United States, Computer)");
}

TEST(LocaleTest, TwelveHourFormatsAreRecognised) {
    EXPECT_TRUE(timeFormatIs12Hour("%r"));
    EXPECT_TRUE(timeFormatIs12Hour("%I:%M:%S %p"));
    EXPECT_TRUE(timeFormatIs12Hour("%l:%M %P"));
    EXPECT_TRUE(timeFormatIs12Hour("%-I:%M"));
    EXPECT_FALSE(timeFormatIs12Hour("%H:%M:%S"));
    EXPECT_FALSE(timeFormatIs12Hour("%T"));
    EXPECT_FALSE(timeFormatIs12Hour("%k.%M"));
    EXPECT_FALSE(timeFormatIs12Hour("%%I literally"));
    EXPECT_FALSE(timeFormatIs12Hour("%"));
}

TEST(LocaleTest, AmericanEnglishAloneUsesTheTwelveHourClock) {
    // Holds whether or not these locales are installed on the machine.
    EXPECT_FALSE(Locale::fromPosixName("en_US.UTF-8").uses24HourClock());
    EXPECT_TRUE(Locale::fromPosixName("de_DE.UTF-8").uses24HourClock());
    EXPECT_TRUE(Locale::fromPosixName("C").uses24HourClock());
    EXPECT_TRUE(Locale::fromPosixName("garbage!").uses24HourClock());
}

TEST(TimeZoneTest, TzWinsInItsUsualForms) {
    TempDirectory dir;
    const std::string missing = dir.file("none");
    auto zone = [&](const std::string& tz) { return timeZoneName(tz, missing, missing); };
    EXPECT_EQ(zone("Europe/Berlin"), "Europe/Berlin");
    EXPECT_EQ(zone(":America/Argentina/Salta"), "America/Argentina/Salta");
    EXPECT_EQ(zone("/usr/share/zoneinfo/Asia/Tokyo"), "Asia/Tokyo");
    EXPECT_EQ(zone(":/usr/share/zoneinfo/posix/Europe/Paris"), "Europe/Paris");
    EXPECT_EQ(zone("Etc/GMT+3"), "Etc/GMT+3");
    EXPECT_EQ(zone("CET-1CEST,M3.5.0,M10.5.0/3"), "CET");
    EXPECT_EQ(zone("<+0330>-3:30"), "+0330");
    EXPECT_EQ(zone(""), "UTC");
    EXPECT_EQ(timeZoneName(std::nullopt, missing, missing), "UTC");
}

TEST(TimeZoneTest, LocaltimeLinkThenTimezoneFile) {
    TempDirectory dir;
    const std::string link = dir.file("localtime");
    const std::string timezoneFile = dir.write("timezone", "  Pacific/Auckland \n");

    EXPECT_EQ(timeZoneName(std::nullopt, link, timezoneFile), "Pacific/Auckland");

    // The link's target need not exist: only its name matters.
    std::filesystem::create_symlink("../usr/share/zoneinfo/Europe/Lisbon", link);
    EXPECT_EQ(timeZoneName(std::nullopt, link, timezoneFile), "Europe/Lisbon");
    EXPECT_EQ(timeZoneName("Asia/Kolkata", link, timezoneFile), "Asia/Kolkata");

    // A copied zone file (not a link) leaves the name to /etc/timezone.
    std::filesystem::remove(link);
    dir.write("localtime", "TZif2");
    EXPECT_EQ(timeZoneName(std::nullopt, link, timezoneFile), "Pacific/Auckland");
}

TEST(TimeZoneTest, CurrentZoneFollowsTz) {
    ScopedEnv tz("TZ", "Australia/Sydney");
    EXPECT_EQ(currentTimeZoneName(), "Australia/Sydney");
}

TEST(CultureContextTest, DescribesTheEnvironmentsLocaleAndZone) {
    ScopedEnv all("LC_ALL", "de_CH.UTF-8");
    ScopedEnv tz("TZ", "Europe/Zurich");
    const Json culture = cultureContext();
    ASSERT_TRUE(culture.is_object());
    EXPECT_EQ(culture.size(), 5u);
    EXPECT_EQ(culture.value("calendar", ""), "Gregorian Calendar");
    EXPECT_EQ(culture.value("display_name", ""), "German (Switzerland)");
    EXPECT_EQ(culture.value("locale", ""), "de_CH");
    ASSERT_TRUE(culture.contains("is_24_hour_format"));
    EXPECT_EQ(culture["is_24_hour_format"], true);
    EXPECT_EQ(culture.value("timezone", ""), "Europe/Zurich");
}

}  // namespace
}  // namespace skald::platform
