#include "crash/recording/system_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "support/temp_directory.h"

namespace skald::crash::systeminfo {
namespace {

using test::TempDirectory;

TEST(SystemInfoParsingTest, OsReleaseValuesAreUnquoted) {
    const std::string text =
        "NAME=\"Debian GNU/Linux\"\n"
        "VERSION_ID=\"12\"\r\n"
        "PRETTY_NAME='Fedora Linux 40 (Workstation Edition)'\n"
        "ID=fedora\n"
        "VERSION=\"1 \\\"quoted\\\"\"\n"
        "BUILD_ID=\n"
        "VERSION_CODENAME=bookworm\n";
    EXPECT_EQ(osReleaseValue(text, "VERSION_ID"), "12");
    EXPECT_EQ(osReleaseValue(text, "PRETTY_NAME"), "Fedora Linux 40 (Workstation Edition)");
    EXPECT_EQ(osReleaseValue(text, "ID"), "fedora");
    EXPECT_EQ(osReleaseValue(text, "VERSION"), "1 \"quoted\"");
    EXPECT_EQ(osReleaseValue(text, "NAME"), "Debian GNU/Linux");
    EXPECT_EQ(osReleaseValue(text, "BUILD_ID"), std::nullopt) << "empty counts as missing";
    EXPECT_EQ(osReleaseValue(text, "VERSION_"), std::nullopt) << "no prefix matches";
    EXPECT_EQ(osReleaseValue("", "ID"), std::nullopt);
}

TEST(SystemInfoParsingTest, MeminfoValuesAreBytes) {
    const std::string text =
        "MemTotal:       16314320 kB\n"
        "MemFree:          812344 kB\n"
        "MemAvailable:    9371616 kB\n"
        "HugePages_Total:       7\n"
        "Broken:        lots kB\n";
    EXPECT_EQ(meminfoBytes(text, "MemTotal"), 16314320ull * 1024);
    EXPECT_EQ(meminfoBytes(text, "MemFree"), 812344ull * 1024);
    EXPECT_EQ(meminfoBytes(text, "MemAvailable"), 9371616ull * 1024);
    EXPECT_EQ(meminfoBytes(text, "HugePages_Total"), 7u) << "counts have no unit";
    EXPECT_EQ(meminfoBytes(text, "Broken"), std::nullopt);
    EXPECT_EQ(meminfoBytes(text, "Mem"), std::nullopt);
    EXPECT_EQ(meminfoBytes("Huge: 99999999999999999 kB\n", "Huge"), std::nullopt)
        << "overflow is refused, not wrapped";
}

TEST(SystemInfoParsingTest, BootTimeAndUtcFormat) {
    EXPECT_EQ(bootTimeSeconds("cpu  1 2 3\nintr 5\nbtime 1700000000\nprocesses 9\n"), 1700000000);
    EXPECT_EQ(bootTimeSeconds("cpu 1\nbtime x\n"), std::nullopt);
    EXPECT_EQ(bootTimeSeconds("btime_other 5\n"), std::nullopt);
    EXPECT_EQ(formatUtcTime(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(formatUtcTime(1700000000), "2023-11-14T22:13:20Z");
    EXPECT_EQ(formatUtcTime(951782400), "2000-02-29T00:00:00Z");
}

TEST(SystemInfoParsingTest, HardwareAddresses) {
    EXPECT_EQ(parseHardwareAddress("02:fc:00:0A:ff:01\n"),
              std::string("\x02\xfc\x00\x0a\xff\x01", 6));
    EXPECT_EQ(parseHardwareAddress("00:00:00:00:00:00\n"), std::nullopt);
    EXPECT_EQ(parseHardwareAddress("02:fc:00:0a:ff"), std::nullopt);
    EXPECT_EQ(parseHardwareAddress("02-fc-00-0a-ff-01"), std::nullopt);
    EXPECT_EQ(parseHardwareAddress("0g:fc:00:0a:ff:01"), std::nullopt);
    // InfiniBand and similar have 20-byte addresses: not an Ethernet address.
    EXPECT_EQ(parseHardwareAddress("80:00:02:08:fe:80:00:00:00:00:00:00:00:00:00:00:00:00:00:01"),
              std::nullopt);
}

TEST(SystemInfoParsingTest, FirstHardwareAddressPrefersDevicesAndSkipsLoopback) {
    TempDirectory net;
    net.write("lo/address", "00:00:00:00:00:01\n");
    net.write("lo/type", "772\n");
    net.write("aa-loop/address", "00:00:00:00:00:02\n");
    net.write("aa-loop/type", "772\n");
    net.write("br0/address", "02:00:00:00:00:03\n");
    net.write("br0/type", "1\n");
    net.write("tun0/address", "\n");
    EXPECT_EQ(firstHardwareAddress(net.path()), std::string("\x02\0\0\0\0\x03", 6))
        << "only a virtual interface: it is used";

    net.write("eth1/address", "02:00:00:00:00:05\n");
    net.write("eth1/device/vendor", "0x1af4\n");
    net.write("eth0/address", "02:00:00:00:00:04\n");
    net.write("eth0/device/vendor", "0x1af4\n");
    EXPECT_EQ(firstHardwareAddress(net.path()), std::string("\x02\0\0\0\0\x04", 6))
        << "the first device-backed interface by name";

    EXPECT_EQ(firstHardwareAddress(net.file("missing")), std::nullopt);
}

TEST(SystemInfoParsingTest, DeviceAppHashIsSha1OfThePresentParts) {
    // SHA-1("abc"), the standard test vector: the parts are simply joined.
    EXPECT_EQ(deviceAppHash(std::nullopt, "a", "b", "c"),
              "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(deviceAppHash("a", std::nullopt, "bc", std::nullopt),
              "a9993e364706816aba3e25717850c26c9cd0d89d");
    const std::string withId = deviceAppHash(std::string("\x02\0\0\0\0\x04", 6), "x86_64",
                                             std::nullopt, "com.example.app");
    EXPECT_TRUE(std::regex_match(withId, std::regex("[0-9a-f]{40}")));
    EXPECT_NE(withId, deviceAppHash(std::string("\x02\0\0\0\0\x04", 6), "x86_64", std::nullopt,
                                    "com.example.other"));
}

TEST(SystemInfoParsingTest, BuildIdsBecomeUpperCaseUuids) {
    const uint8_t long20[20] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc,
                                0xba, 0x98, 0x76, 0x54, 0x32, 0x10, 0xaa, 0xbb, 0xcc, 0xdd};
    EXPECT_EQ(uuidTextFromBuildId(long20, 20), "01234567-89AB-CDEF-FEDC-BA9876543210");
    const uint8_t short8[8] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4};
    EXPECT_EQ(uuidTextFromBuildId(short8, 8), "DEADBEEF-0102-0304-0000-000000000000");
    EXPECT_EQ(uuidTextFromBuildId(short8, 0), std::nullopt);
}

TEST(SystemInfoTest, KeysAndTypesOfTheGatheredInformation) {
    enable();
    ASSERT_TRUE(isEnabled());
    const Json json = systemInfo();
    ASSERT_TRUE(json.is_object());

    for (const char* key : {"systemName", "systemVersion", "machine", "kernelVersion",
                            "appStartTime", "executablePath", "executableName", "cpuArchitecture",
                            "processName", "deviceAppHash", "buildType", "bootTime"}) {
        ASSERT_TRUE(json.contains(key) && json[key].is_string()) << key;
        EXPECT_FALSE(json[key].get<std::string>().empty()) << key;
    }
    for (const char* key :
         {"cpuType", "cpuSubType", "binaryCPUType", "binaryCPUSubType", "processID",
          "parentProcessID", "memorySize", "freeMemorySize", "usableMemorySize"}) {
        ASSERT_TRUE(json.contains(key) && json[key].is_number_integer()) << key;
    }
    ASSERT_TRUE(json.contains("isJailbroken"));
    EXPECT_EQ(json["isJailbroken"], false);
    for (const auto& [key, value] : json.items()) {
        EXPECT_FALSE(value.is_null()) << key << ": missing values leave their key out";
    }

    EXPECT_EQ(json["systemName"], "Linux");
    EXPECT_EQ(json["processID"], ::getpid());
    EXPECT_EQ(json["parentProcessID"], ::getppid());
    EXPECT_EQ(json["buildType"], "unknown");
    const std::regex utc("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z");
    EXPECT_TRUE(std::regex_match(json["bootTime"].get<std::string>(), utc));
    EXPECT_TRUE(std::regex_match(json["appStartTime"].get<std::string>(), utc));
    EXPECT_LE(json["bootTime"].get<std::string>(), json["appStartTime"].get<std::string>());
    EXPECT_TRUE(
        std::regex_match(json["deviceAppHash"].get<std::string>(), std::regex("[0-9a-f]{40}")));
    EXPECT_EQ(json["executablePath"], std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(json["executableName"], "test_core");
#if defined(__x86_64__)
    EXPECT_EQ(json["cpuArchitecture"], "x86_64");
    EXPECT_EQ(json["cpuType"], 0x1000007);
    EXPECT_EQ(json["cpuSubType"], 3);
    EXPECT_EQ(json["binaryCPUType"], 0x1000007);
#endif
    // Test programs are linked with a build-id by default.
    ASSERT_TRUE(json.contains("appID"));
    EXPECT_TRUE(std::regex_match(json["appID"].get<std::string>(),
                                 std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
                                            "[0-9A-F]{12}")));
}

TEST(SystemInfoTest, MemorySizesArePositiveAndConsistent) {
    enable();
    const Json json = systemInfo();
    const auto total = json["memorySize"].get<uint64_t>();
    EXPECT_GT(total, 0u);
    EXPECT_GT(json["freeMemorySize"].get<uint64_t>(), 0u);
    EXPECT_LE(json["freeMemorySize"].get<uint64_t>(), total);
    EXPECT_LE(json["usableMemorySize"].get<uint64_t>(), total);
    ASSERT_TRUE(freeMemorySize());
    ASSERT_TRUE(usableMemorySize());
    EXPECT_GE(*usableMemorySize(), 1u);
}

}  // namespace
}  // namespace skald::crash::systeminfo
