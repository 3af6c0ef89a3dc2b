#include "crash/recording/system_info.h"

#include <errno.h>
#include <link.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <vector>

#include "crash/async_safe/elf_image.h"
#include "crash/recording/binary_image_list.h"
#include "platform/base/hex.h"
#include "platform/base/sha1.h"
#include "platform/process/no_destructor.h"
#include "skald/platform/bundle.h"
#include "util/file_io.h"
#include "util/log.h"

namespace skald::crash::systeminfo {

namespace fs = std::filesystem;

namespace {

// CPU type and subtype in the encoding the service knows from the other
// platform's crash reports (CPU_TYPE_X86_64 with CPU_SUBTYPE_X86_64_ALL, and so
// on), so that numbers from both platforms mean the same.
#if defined(__x86_64__)
constexpr const char* kCpuArchitecture = "x86_64";
constexpr int64_t kCpuType = 0x1000007;
constexpr int64_t kCpuSubType = 3;
#elif defined(__aarch64__)
constexpr const char* kCpuArchitecture = "arm64";
constexpr int64_t kCpuType = 0x100000c;
constexpr int64_t kCpuSubType = 0;
#elif defined(__i386__)
constexpr const char* kCpuArchitecture = "x86";
constexpr int64_t kCpuType = 7;
constexpr int64_t kCpuSubType = 3;
#else
constexpr const char* kCpuArchitecture = nullptr;
constexpr int64_t kCpuType = 0;
constexpr int64_t kCpuSubType = 0;
#endif

// Small /proc and /sys files; the caps only guard against surprises.
constexpr uint64_t kSmallFileLimit = 64 * 1024;

std::atomic<bool> gEnabled{false};

std::optional<std::string> readSmallFile(const std::string& path) {
    auto contents = readFileContents(path, nullptr, kSmallFileLimit);
    if (contents && contents->size() > kSmallFileLimit) contents->resize(kSmallFileLimit);
    return contents;
}

std::optional<std::string> nonEmpty(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
        text.pop_back();
    }
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<std::string> readTrimmedFile(const std::string& path) {
    auto contents = readSmallFile(path);
    if (!contents) return std::nullopt;
    return nonEmpty(std::move(*contents));
}

std::optional<std::string> meminfoText() {
    std::string error;
    auto text = readFileContents("/proc/meminfo", &error, kSmallFileLimit);
    if (!text) SKALD_LOG_ERROR("%s", error.c_str());
    return text;
}

std::optional<uint64_t> meminfoValue(std::string_view key) {
    const auto text = meminfoText();
    if (!text) return std::nullopt;
    return meminfoBytes(*text, key);
}

/// The build-id of the loaded image that is the executable at `path`, else of
/// the first image whose path contains the executable's file name.
/// The build-id of the main program, which the loader lists first: describing
/// it alone spares the host's thread the whole image list at start.
std::optional<std::string> mainProgramBuildId() {
    std::optional<std::string> id;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            BinaryImage image{};
            if (describeElfImage(info->dlpi_addr, info->dlpi_phdr, info->dlpi_phnum, &image)) {
                *static_cast<std::optional<std::string>*>(data) =
                    uuidTextFromBuildId(image.buildId, image.buildIdLength);
            }
            return 1;
        },
        &id);
    return id;
}

std::optional<std::string> appIdOf(const std::string& path) {
    std::error_code error;
    if (fs::equivalent(path, "/proc/self/exe", error)) {
        if (auto id = mainProgramBuildId()) return id;
    }
    BinaryImageList::refresh();
    const std::string fileName = fs::path(path).filename().string();
    std::optional<std::string> exact;
    std::optional<std::string> similar;
    BinaryImageList::iterate([&](const BinaryImage& image) {
        if (exact || image.name == nullptr) return;
        const std::string_view name(image.name);
        if (name == path) {
            exact = uuidTextFromBuildId(image.buildId, image.buildIdLength);
        } else if (!similar && !fileName.empty() && name.find(fileName) != std::string::npos) {
            similar = uuidTextFromBuildId(image.buildId, image.buildIdLength);
        }
    });
    return exact ? exact : similar;
}

SystemInfo gather() {
    SystemInfo info;
    info.systemName = "Linux";

    struct utsname names {};
    const bool haveNames = ::uname(&names) == 0;
    if (haveNames) {
        info.machine = nonEmpty(names.machine);
        info.kernelVersion =
            nonEmpty(std::string(names.sysname) + " " + names.release + " " + names.version);
    }
    const auto osRelease = readSmallFile("/etc/os-release");
    if (osRelease) {
        info.systemVersion = osReleaseValue(*osRelease, "VERSION_ID");
        info.osVersion = osReleaseValue(*osRelease, "PRETTY_NAME");
        if (!info.osVersion) info.osVersion = osReleaseValue(*osRelease, "VERSION");
    }
    if (!info.systemVersion && haveNames) info.systemVersion = nonEmpty(names.release);
    info.model = readTrimmedFile("/sys/devices/virtual/dmi/id/product_name");
    // No equivalent of a jailbreak on a desktop system.
    info.isJailbroken = false;

    if (const auto stat = readSmallFile("/proc/stat")) {
        if (const auto boot = bootTimeSeconds(*stat)) info.bootTime = formatUtcTime(*boot);
    }
    info.appStartTime = formatUtcTime(std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());

    const auto bundle = platform::Bundle::main();
    if (bundle && bundle->executablePath()) {
        info.executablePath = bundle->executablePath();
    } else {
        std::error_code ec;
        const auto self = fs::read_symlink("/proc/self/exe", ec);
        if (!ec) info.executablePath = nonEmpty(self.string());
    }
    if (bundle) {
        info.executableName = bundle->infoText("CFBundleExecutable");
        info.bundleID = bundle->infoText("CFBundleIdentifier");
        info.bundleName = bundle->infoText("CFBundleName");
        info.bundleVersion = bundle->infoText("CFBundleVersion");
        info.bundleShortVersion = bundle->infoText("CFBundleShortVersionString");
    }
    // A plain executable has no information dictionary: its file name is the
    // executable's name there.
    if (!info.executableName && info.executablePath) {
        info.executableName = nonEmpty(fs::path(*info.executablePath).filename().string());
    }
    if (info.executablePath) info.appID = appIdOf(*info.executablePath);

    if (kCpuArchitecture != nullptr) info.cpuArchitecture = kCpuArchitecture;
    info.cpuType = kCpuType;
    info.cpuSubType = kCpuSubType;
    // The executable is built for the machine it runs on: no fat binaries here.
    info.binaryCPUType = kCpuType;
    info.binaryCPUSubType = kCpuSubType;

    info.processName = nonEmpty(program_invocation_short_name);
    info.processID = ::getpid();
    info.parentProcessID = ::getppid();

    info.deviceAppHash = nonEmpty(deviceAppHash(firstHardwareAddress("/sys/class/net"),
                                                info.machine, info.model, info.bundleID));
    // Neither enterprise provisioning nor store sandbox receipts exist here.
    info.buildType = "unknown";
    if (const auto text = meminfoText()) {
        info.memorySize = meminfoBytes(*text, "MemTotal").value_or(0);
    }
    return info;
}

void putText(Json& json, const char* key, const std::optional<std::string>& value) {
    if (value) json[key] = *value;
}

}  // namespace

const SystemInfo& info() {
    static const platform::NoDestructor<SystemInfo> gathered(gather());
    return *gathered;
}

void enable() {
    (void)info();
    gEnabled.store(true);
}

bool isEnabled() {
    return gEnabled.load();
}

Json systemInfo() {
    Json json = Json::object();
    if (!isEnabled()) return json;
    const SystemInfo& i = info();
    putText(json, "systemName", i.systemName);
    putText(json, "systemVersion", i.systemVersion);
    putText(json, "machine", i.machine);
    putText(json, "model", i.model);
    putText(json, "kernelVersion", i.kernelVersion);
    putText(json, "osVersion", i.osVersion);
    json["isJailbroken"] = i.isJailbroken;
    putText(json, "bootTime", i.bootTime);
    putText(json, "appStartTime", i.appStartTime);
    putText(json, "executablePath", i.executablePath);
    putText(json, "executableName", i.executableName);
    putText(json, "bundleID", i.bundleID);
    putText(json, "bundleName", i.bundleName);
    putText(json, "bundleVersion", i.bundleVersion);
    putText(json, "bundleShortVersion", i.bundleShortVersion);
    putText(json, "appID", i.appID);
    putText(json, "cpuArchitecture", i.cpuArchitecture);
    json["cpuType"] = i.cpuType;
    json["cpuSubType"] = i.cpuSubType;
    json["binaryCPUType"] = i.binaryCPUType;
    json["binaryCPUSubType"] = i.binaryCPUSubType;
    putText(json, "processName", i.processName);
    json["processID"] = i.processID;
    json["parentProcessID"] = i.parentProcessID;
    putText(json, "deviceAppHash", i.deviceAppHash);
    putText(json, "buildType", i.buildType);
    json["memorySize"] = i.memorySize;
    // One read for both live values.
    const auto text = meminfoText();
    json["freeMemorySize"] = text ? meminfoBytes(*text, "MemFree").value_or(0) : 0;
    json["usableMemorySize"] = text ? meminfoBytes(*text, "MemAvailable").value_or(0) : 0;
    return json;
}

std::optional<uint64_t> freeMemorySize() {
    return meminfoValue("MemFree");
}

std::optional<uint64_t> usableMemorySize() {
    return meminfoValue("MemAvailable");
}

std::optional<std::string> systemVersion() {
    if (const auto osRelease = readSmallFile("/etc/os-release")) {
        if (auto version = osReleaseValue(*osRelease, "VERSION_ID")) return version;
    }
    struct utsname names {};
    if (::uname(&names) != 0) return std::nullopt;
    return nonEmpty(names.release);
}

std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() <= key.size() || line.substr(0, key.size()) != key ||
            line[key.size()] != '=') {
            continue;
        }
        std::string_view raw = line.substr(key.size() + 1);
        std::string value;
        if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
            const char quote = raw.front();
            // Shell-style quoting: backslash escapes inside double quotes.
            for (size_t i = 1; i < raw.size() && raw[i] != quote; ++i) {
                if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) ++i;
                value += raw[i];
            }
        } else {
            value = std::string(raw);
        }
        return nonEmpty(std::move(value));
    }
    return std::nullopt;
}

std::optional<uint64_t> meminfoBytes(std::string_view text, std::string_view key) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.size() <= key.size() || line.substr(0, key.size()) != key ||
            line[key.size()] != ':') {
            continue;
        }
        const std::string rest(line.substr(key.size() + 1));
        unsigned long long value = 0;
        char unit[8] = {};
        const int fields = std::sscanf(rest.c_str(), " %llu %7s", &value, unit);
        if (fields < 1) return std::nullopt;
        if (fields == 2 && std::strcmp(unit, "kB") == 0) {
            if (value > UINT64_MAX / 1024) return std::nullopt;
            value *= 1024;
        }
        return value;
    }
    return std::nullopt;
}

std::optional<int64_t> bootTimeSeconds(std::string_view procStat) {
    size_t start = 0;
    while (start < procStat.size()) {
        size_t end = procStat.find('\n', start);
        if (end == std::string_view::npos) end = procStat.size();
        const std::string line(procStat.substr(start, end - start));
        start = end + 1;
        long long seconds = 0;
        char trailing = 0;
        if (std::sscanf(line.c_str(), "btime %lld%c", &seconds, &trailing) == 1 && seconds > 0) {
            return seconds;
        }
    }
    return std::nullopt;
}

std::string formatUtcTime(int64_t secondsSinceEpoch) {
    const std::time_t time = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm utc{};
    if (::gmtime_r(&time, &utc) == nullptr) {
        // Out of range for the calendar: the epoch rather than a made-up date.
        utc = std::tm{};
        utc.tm_mday = 1;
        utc.tm_year = 70;
    }
    char text[80];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::optional<std::string> parseHardwareAddress(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    if (text.size() != 17) return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i < 6; ++i) {
        const std::string_view pair = text.substr(i * 3, 2);
        if (i < 5 && text[i * 3 + 2] != ':') return std::nullopt;
        unsigned value = 0;
        for (char c : pair) {
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                return std::nullopt;
            }
        }
        bytes += static_cast<char>(value);
    }
    if (std::all_of(bytes.begin(), bytes.end(), [](char b) { return b == 0; })) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::string> firstHardwareAddress(const std::string& netClassPath) {
    std::error_code ec;
    std::vector<fs::path> interfaces;
    for (fs::directory_iterator it(netClassPath, ec), end; !ec && it != end; it.increment(ec)) {
        interfaces.push_back(it->path());
    }
    std::sort(interfaces.begin(), interfaces.end());
    std::optional<std::string> firstVirtual;
    for (const fs::path& interface : interfaces) {
        if (interface.filename() == "lo") continue;
        // ARPHRD_LOOPBACK
        if (readTrimmedFile((interface / "type").string()) == "772") continue;
        const auto text = readSmallFile((interface / "address").string());
        if (!text) continue;
        auto address = parseHardwareAddress(*text);
        if (!address) continue;
        // Bridges and tunnels come and go; a device-backed interface keeps
        // the hash stable.
        std::error_code deviceError;
        if (fs::exists(interface / "device", deviceError)) return address;
        if (!firstVirtual) firstVirtual = std::move(address);
    }
    return firstVirtual;
}

std::string deviceAppHash(const std::optional<std::string>& hardwareAddress,
                          const std::optional<std::string>& machine,
                          const std::optional<std::string>& model,
                          const std::optional<std::string>& bundleIdentifier) {
    std::string input;
    for (const auto* part : {&hardwareAddress, &machine, &model, &bundleIdentifier}) {
        if (*part) input += **part;
    }
    return platform::sha1Hex(input);
}

std::optional<std::string> uuidTextFromBuildId(const uint8_t* buildId, size_t length) {
    if (buildId == nullptr || length == 0) return std::nullopt;
    uint8_t b[16] = {};
    std::memcpy(b, buildId, std::min<size_t>(length, 16));
    return platform::uuidText(b, platform::HexCase::Upper);
}

}  // namespace skald::crash::systeminfo
