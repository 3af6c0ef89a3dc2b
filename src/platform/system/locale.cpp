#include "platform/system/locale.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/process/no_destructor.h"

namespace skald::platform {

namespace {

constexpr const char* kPosixIdentifier = "en_US_POSIX";

struct Name {
    const char* code;
    const char* english;
};

constexpr Name kLanguages[] = {
    {"ar", "Arabic"},
    {"bg", "Bulgarian"},
    {"bn", "Bangla"},
    {"ca", "Catalan"},
    {"cs", "Czech"},
    {"cy", "Welsh"},
    {"da", "Danish"},
    {"de", "German"},
    {"el", "Greek"},
    {"en", "English"},
    {"es", "Spanish"},
    {"et", "Estonian"},
    {"eu", "Basque"},
    {"fa", "Persian"},
    {"fi", "Finnish"},
    {"fr", "French"},
    {"ga", "Irish"},
    {"gl", "Galician"},
    {"he", "Hebrew"},
    {"hi", "Hindi"},
    {"hr", "Croatian"},
    {"hu", "Hungarian"},
    {"id", "Indonesian"},
    {"is", "Icelandic"},
    {"it", "Italian"},
    {"ja", "Japanese"},
    {"ko", "Korean"},
    {"lt", "Lithuanian"},
    {"lv", "Latvian"},
    {"ms", "Malay"},
    {"nb", "Norwegian Bokmål"},
    {"nl", "Dutch"},
    {"nn", "Norwegian Nynorsk"},
    {"no", "Norwegian"},
    {"pl", "Polish"},
    {"pt", "Portuguese"},
    {"ro", "Romanian"},
    {"ru", "Russian"},
    {"sk", "Slovak"},
    {"sl", "Slovenian"},
    {"sr", "Serbian"},
    {"sv", "Swedish"},
    {"th", "Thai"},
    {"tr", "Turkish"},
    {"uk", "Ukrainian"},
    {"vi", "Vietnamese"},
    {"zh", "Chinese"},
};

constexpr Name kRegions[] = {
    {"AE", "United Arab Emirates"},
    {"AR", "Argentina"},
    {"AT", "Austria"},
    {"AU", "Australia"},
    {"BD", "Bangladesh"},
    {"BE", "Belgium"},
    {"BG", "Bulgaria"},
    {"BR", "Brazil"},
    {"CA", "Canada"},
    {"CH", "Switzerland"},
    {"CL", "Chile"},
    {"CN", "China mainland"},
    {"CO", "Colombia"},
    {"CZ", "Czechia"},
    {"DE", "Germany"},
    {"DK", "Denmark"},
    {"EE", "Estonia"},
    {"EG", "Egypt"},
    {"ES", "Spain"},
    {"FI", "Finland"},
    {"FR", "France"},
    {"GB", "United Kingdom"},
    {"GR", "Greece"},
    {"HK", "Hong Kong"},
    {"HR", "Croatia"},
    {"HU", "Hungary"},
    {"ID", "Indonesia"},
    {"IE", "Ireland"},
    {"IL", "Israel"},
    {"IN", "India"},
    {"IR", "Iran"},
    {"IS", "Iceland"},
    {"IT", "Italy"},
    {"JP", "Japan"},
    {"KR", "South Korea"},
    {"LT", "Lithuania"},
    {"LU", "Luxembourg"},
    {"LV", "Latvia"},
    {"MX", "Mexico"},
    {"MY", "Malaysia"},
    {"NL", "Netherlands"},
    {"NO", "Norway"},
    {"NZ", "New Zealand"},
    {"PE", "Peru"},
    {"PH", "Philippines"},
    {"PL", "Poland"},
    {"PT", "Portugal"},
    {"RO", "Romania"},
    {"RS", "Serbia"},
    {"RU", "Russia"},
    {"SA", "Saudi Arabia"},
    {"SE", "Sweden"},
    {"SG", "Singapore"},
    {"SI", "Slovenia"},
    {"SK", "Slovakia"},
    {"TH", "Thailand"},
    {"TR", "Türkiye"},
    {"TW", "Taiwan"},
    {"UA", "Ukraine"},
    {"US", "United States"},
    {"VN", "Vietnam"},
    {"ZA", "South Africa"},
};

template <size_t N>
const char* lookUp(const Name (&table)[N], std::string_view code) {
    for (const Name& name : table) {
        if (code == name.code) return name.english;
    }
    return nullptr;
}

bool allOf(std::string_view text, int (*test)(int)) {
    return std::all_of(text.begin(), text.end(),
                       [test](char c) { return test(static_cast<unsigned char>(c)) != 0; });
}

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') return std::nullopt;
    return std::string(value);
}

std::optional<std::string> firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) return std::nullopt;
    const auto begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return std::nullopt;
    const auto end = line.find_last_not_of(" \t\r");
    return line.substr(begin, end - begin + 1);
}

/// "Europe/Berlin" for ".../zoneinfo/Europe/Berlin", also below the "posix"
/// and "right" variants of the zone database.
std::string zoneBelowZoneinfo(const std::string& path) {
    std::string zone = path;
    if (const auto at = path.rfind("zoneinfo/"); at != std::string::npos) {
        zone = path.substr(at + 9);
    }
    for (const char* prefix : {"posix/", "right/"}) {
        const std::string_view p(prefix);
        if (zone.compare(0, p.size(), p) == 0) zone.erase(0, p.size());
    }
    return zone;
}

/// A name as found in the zone database, e.g. "America/Argentina/Salta",
/// "UTC", "Etc/GMT+3" or "EST5EDT".
bool looksLikeZoneName(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.find("..") != std::string_view::npos) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '/' || c == '_' ||
               c == '-' || c == '+';
    });
}

/// The standard-time name that opens a POSIX rule such as
/// "CET-1CEST,M3.5.0,M10.5.0/3" or "<+0330>-3:30".
std::string posixRuleName(std::string_view rule) {
    if (!rule.empty() && rule.front() == '<') {
        const auto close = rule.find('>');
        if (close != std::string_view::npos && close > 1) {
            return std::string(rule.substr(1, close - 1));
        }
    }
    size_t length = 0;
    while (length < rule.size() && std::isalpha(static_cast<unsigned char>(rule[length]))) {
        ++length;
    }
    return length >= 3 ? std::string(rule.substr(0, length)) : std::string();
}

std::string zoneFromTz(std::string tz) {
    if (!tz.empty() && tz.front() == ':') tz.erase(0, 1);
    // glibc reads an empty TZ as UTC.
    if (tz.empty()) return "UTC";
    if (tz.front() == '/') {
        const std::string zone = zoneBelowZoneinfo(tz);
        if (zone != tz) return zone;
        return std::filesystem::path(tz).filename().string();
    }
    if (looksLikeZoneName(tz)) return tz;
    return posixRuleName(tz);
}

}  // namespace

std::string environmentLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (auto value = environmentValue(variable)) return *value;
    }
    return "C";
}

Locale Locale::current() {
    return fromPosixName(environmentLocaleName());
}

Locale Locale::fromPosixName(std::string_view posixName) {
    std::string_view name = posixName;
    if (const auto at = name.find('@'); at != std::string_view::npos) name = name.substr(0, at);
    if (const auto dot = name.find('.'); dot != std::string_view::npos) {
        name = name.substr(0, dot);
    }
    std::string_view language = name;
    std::string_view territory;
    if (const auto underscore = name.find('_'); underscore != std::string_view::npos) {
        language = name.substr(0, underscore);
        territory = name.substr(underscore + 1);
    }
    const bool languageValid =
        (language.size() == 2 || language.size() == 3) && allOf(language, std::isalpha);
    const bool territoryValid = territory.empty() ||
                                (territory.size() == 2 && allOf(territory, std::isalpha)) ||
                                (territory.size() == 3 && allOf(territory, std::isdigit));
    // "C" and "POSIX" fail the language test as well.
    if (!languageValid || !territoryValid) {
        return Locale(kPosixIdentifier, std::string(posixName));
    }
    std::string identifier;
    for (char c : language)
        identifier += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!territory.empty()) {
        identifier += '_';
        for (char c : territory) {
            identifier += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return Locale(std::move(identifier), std::string(posixName));
}

std::string Locale::displayName() const {
    if (identifier_ == kPosixIdentifier) return "English (United States, Computer)";
    const auto underscore = identifier_.find('_');
    const std::string language = identifier_.substr(0, underscore);
    const char* languageName = lookUp(kLanguages, language);
    if (languageName == nullptr) return identifier_;
    if (underscore == std::string::npos) return languageName;
    const std::string territory = identifier_.substr(underscore + 1);
    const char* regionName = lookUp(kRegions, territory);
    return std::string(languageName) + " (" + (regionName ? regionName : territory) + ")";
}

bool timeFormatIs12Hour(std::string_view format) {
    for (size_t i = 0; i + 1 < format.size(); ++i) {
        if (format[i] != '%') continue;
        size_t at = i + 1;
        // Skip the flags and the E/O modifiers of glibc's strftime.
        while (at < format.size() &&
               std::string_view("_-0^#EO").find(format[at]) != std::string_view::npos) {
            ++at;
        }
        if (at >= format.size()) break;
        const char conversion = format[at];
        if (conversion == 'I' || conversion == 'l' || conversion == 'r' || conversion == 'p' ||
            conversion == 'P') {
            return true;
        }
        i = at;
    }
    return false;
}

bool Locale::uses24HourClock() const {
    // Loading a locale reads its files: once per name is enough, as
    // installed locales do not change under a running process.
    static NoDestructor<std::mutex> mutex;
    static NoDestructor<std::map<std::string, bool>> known;
    {
        const std::lock_guard lock(*mutex);
        if (const auto found = known->find(posixName_); found != known->end()) return found->second;
    }
    const bool result = readUses24HourClock();
    const std::lock_guard lock(*mutex);
    known->emplace(posixName_, result);
    return result;
}

bool Locale::readUses24HourClock() const {
    const locale_t locale = ::newlocale(LC_TIME_MASK, posixName_.c_str(), static_cast<locale_t>(0));
    if (locale != static_cast<locale_t>(0)) {
        const char* format = ::nl_langinfo_l(T_FMT, locale);
        const bool twelve = format != nullptr && timeFormatIs12Hour(format);
        ::freelocale(locale);
        return !twelve;
    }
    // Not installed here: of the common locales only American English keeps
    // the 12-hour clock as its default.
    return identifier_ != "en_US";
}

std::string timeZoneName(const std::optional<std::string>& tz, const std::string& localtimePath,
                         const std::string& timezoneFilePath) {
    if (tz) {
        std::string zone = zoneFromTz(*tz);
        if (!zone.empty()) return zone;
    }
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(localtimePath, ec);
    if (!ec) {
        const std::string zone = zoneBelowZoneinfo(target.string());
        if (looksLikeZoneName(zone)) return zone;
    }
    if (auto line = firstLine(timezoneFilePath); line && looksLikeZoneName(*line)) return *line;
    return "UTC";
}

std::string currentTimeZoneName() {
    const char* tz = std::getenv("TZ");
    return timeZoneName(tz ? std::optional<std::string>(tz) : std::nullopt, "/etc/localtime",
                        "/etc/timezone");
}

Json cultureContext() {
    const Locale locale = Locale::current();
    Json culture = Json::object();
    culture["calendar"] = Locale::calendarDisplayName();
    culture["display_name"] = locale.displayName();
    culture["locale"] = locale.identifier();
    culture["is_24_hour_format"] = locale.uses24HourClock();
    culture["timezone"] = currentTimeZoneName();
    return culture;
}

}  // namespace skald::platform
