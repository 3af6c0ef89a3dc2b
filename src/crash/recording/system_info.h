#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "skald/json.h"

namespace skald::crash::systeminfo {

/// What the system-information collector gathers once per process. Text
/// values that could not be found stay empty.
struct SystemInfo {
    std::optional<std::string> systemName;
    std::optional<std::string> systemVersion;
    std::optional<std::string> machine;
    std::optional<std::string> model;
    std::optional<std::string> kernelVersion;
    std::optional<std::string> osVersion;
    bool isJailbroken = false;
    std::optional<std::string> bootTime;
    std::optional<std::string> appStartTime;
    std::optional<std::string> executablePath;
    std::optional<std::string> executableName;
    std::optional<std::string> bundleID;
    std::optional<std::string> bundleName;
    std::optional<std::string> bundleVersion;
    std::optional<std::string> bundleShortVersion;
    std::optional<std::string> appID;
    std::optional<std::string> cpuArchitecture;
    int64_t cpuType = 0;
    int64_t cpuSubType = 0;
    int64_t binaryCPUType = 0;
    int64_t binaryCPUSubType = 0;
    std::optional<std::string> processName;
    int64_t processID = 0;
    int64_t parentProcessID = 0;
    std::optional<std::string> deviceAppHash;
    std::optional<std::string> buildType;
    uint64_t memorySize = 0;
};

/// Gathers the information on the first call; later calls do nothing.
void enable();
bool isEnabled();

/// The gathered information; gathers it first when `enable` was not called.
const SystemInfo& info();

/// The gathered information with "freeMemorySize" and "usableMemorySize" read
/// at the moment of the call. Text values that are missing leave their key
/// out; numbers and booleans are always present. Empty until `enable`.
Json systemInfo();

/// Bytes of memory that nothing uses ("MemFree"), and that can be given to a
/// new program without swapping ("MemAvailable"); nothing when /proc/meminfo
/// cannot be read.
std::optional<uint64_t> freeMemorySize();
std::optional<uint64_t> usableMemorySize();

/// The distribution's version ("VERSION_ID" of /etc/os-release), else the
/// kernel release.
std::optional<std::string> systemVersion();

// --- Parsing, exposed for tests ------------------------------------------------

/// The unquoted value of `key` in an os-release text.
std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key);
/// The value of a "Key:   123 kB" line of /proc/meminfo, in bytes.
std::optional<uint64_t> meminfoBytes(std::string_view text, std::string_view key);
/// The "btime" of /proc/stat, seconds since the epoch.
std::optional<int64_t> bootTimeSeconds(std::string_view procStat);
/// "%04d-%02d-%02dT%02d:%02d:%02dZ" in UTC.
std::string formatUtcTime(int64_t secondsSinceEpoch);
/// The six bytes of a "aa:bb:cc:dd:ee:ff" hardware address; nothing for any
/// other form or for the all-zero address.
std::optional<std::string> parseHardwareAddress(std::string_view text);
/// The hardware address of the first interface below `netClassPath` (normally
/// /sys/class/net) that is not a loopback, in name order, preferring
/// interfaces backed by a device over virtual ones.
std::optional<std::string> firstHardwareAddress(const std::string& netClassPath);
/// SHA-1 over the hardware address, the machine and model texts and the
/// bundle identifier (each part only when present), as 40 lower-case hex digits.
std::string deviceAppHash(const std::optional<std::string>& hardwareAddress,
                          const std::optional<std::string>& machine,
                          const std::optional<std::string>& model,
                          const std::optional<std::string>& bundleIdentifier);
/// The first 16 bytes of a build-id, zero-padded, as upper-case UUID text in
/// byte order; nothing for an empty build-id.
std::optional<std::string> uuidTextFromBuildId(const uint8_t* buildId, size_t length);

}  // namespace skald::crash::systeminfo
