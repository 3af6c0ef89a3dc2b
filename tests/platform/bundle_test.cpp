#include "skald/platform/bundle.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "skald/platform/property_list.h"

namespace skald::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kChildIdentifierVariable = "SKALD_BUNDLE_TEST_EXPECT_IDENTIFIER";

plist_t toPlist(const Json& json) {
    switch (json.type()) {
        case Json::value_t::boolean:
            return plist_new_bool(json.get<bool>() ? 1 : 0);
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
            return plist_new_uint(static_cast<uint64_t>(json.get<int64_t>()));
        case Json::value_t::number_float:
            return plist_new_real(json.get<double>());
        case Json::value_t::array: {
            plist_t array = plist_new_array();
            for (const auto& item : json) plist_array_append_item(array, toPlist(item));
            return array;
        }
        case Json::value_t::object: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, item] : json.items()) {
                plist_dict_set_item(dict, key.c_str(), toPlist(item));
            }
            return dict;
        }
        default:
            return plist_new_string(json.get<std::string>().c_str());
    }
}

std::string serialize(plist_t root, bool binary) {
    char* data = nullptr;
    uint32_t length = 0;
    if (binary) {
        plist_to_bin(root, &data, &length);
    } else {
        plist_to_xml(root, &data, &length);
    }
    std::string text(data, length);
    std::free(data);
    plist_free(root);
    return text;
}

void writeFile(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

class BundleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/skald-bundle-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        Bundle::setMainInfoDictionary(std::nullopt);
    }
    void TearDown() override {
        Bundle::setMainInfoDictionary(std::nullopt);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Lays out "<root>/<name>.app" with the information dictionary and an
    // executable file named after CFBundleExecutable.
    fs::path makeBundle(const std::string& name, const Json& info, bool binary) {
        const fs::path bundle = root_ / (name + ".app");
        writeFile(bundle / "Contents" / "Info.plist", serialize(toPlist(info), binary));
        writeFile(bundle / "Contents" / "MacOS" / info.value("CFBundleExecutable", name), "");
        return bundle;
    }

    static Json installerInfo() {
        return {{"CFBundleIdentifier", "com.vantorel.installer"},
                {"CFBundleShortVersionString", "1.2"},
                {"CFBundleVersion", "7"},
                {"CFBundleExecutable", "Installer"},
                {"LSMinimumSystemVersion", "10.13"},
                {"NSHighResolutionCapable", true}};
    }

    fs::path root_;
};

TEST_F(BundleTest, ReadsXmlAndBinaryInformationDictionaries) {
    for (const bool binary : {false, true}) {
        const auto path = makeBundle(binary ? "Binary" : "Xml", installerInfo(), binary);
        const auto bundle = Bundle::atPath(path);
        ASSERT_TRUE(bundle);
        EXPECT_EQ(bundle->bundlePath(), path.string());
        ASSERT_TRUE(bundle->infoDictionary()) << binary;
        EXPECT_EQ(*bundle->infoDictionary(), installerInfo());
        EXPECT_EQ(bundle->bundleIdentifier(), "com.vantorel.installer");
        EXPECT_EQ(bundle->executablePath(), (path / "Contents/MacOS/Installer").string());
        EXPECT_FALSE(bundle->infoText("NSHighResolutionCapable"));
    }
}

TEST_F(BundleTest, BrokenOrMissingInformationDictionaryIsNone) {
    EXPECT_EQ(Bundle::atPath((root_ / "Nowhere.app").string()), nullptr);

    fs::create_directories(root_ / "Empty.app");
    const auto empty = Bundle::atPath(root_ / "Empty.app");
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->infoDictionary());
    EXPECT_FALSE(empty->executablePath());

    writeFile(root_ / "Garbage.app/Contents/Info.plist", "<plist><dict><key>a</key>");
    EXPECT_FALSE(Bundle::atPath(root_ / "Garbage.app")->infoDictionary());

    writeFile(root_ / "Array.app/Contents/Info.plist",
              serialize(toPlist(Json::array({"a"})), false));
    EXPECT_FALSE(Bundle::atPath(root_ / "Array.app")->infoDictionary());
}

TEST_F(BundleTest, PropertyListValuesBecomeJson) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "negative", plist_new_uint(static_cast<uint64_t>(-5)));
    plist_dict_set_item(dict, "real", plist_new_real(1.25));
    plist_dict_set_item(dict, "date", plist_new_date(86400, 0));
    plist_dict_set_item(dict, "data", plist_new_data("hello", 5));
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_bool(0));
    plist_array_append_item(array, plist_new_string("x"));
    plist_dict_set_item(dict, "array", array);
    plist_t copy = plist_copy(dict);

    const Json expected = {{"negative", -5},
                           {"real", 1.25},
                           {"date", "2001-01-02T00:00:00Z"},
                           {"data", "aGVsbG8="},
                           {"array", {false, "x"}}};
    for (const auto& data : {serialize(dict, false), serialize(copy, true)}) {
        const auto json = parsePropertyList(data);
        ASSERT_TRUE(json);
        for (const auto& [key, value] : expected.items()) EXPECT_EQ(json->at(key), value) << key;
    }
    EXPECT_FALSE(parsePropertyList(""));
    EXPECT_FALSE(parsePropertyList("not a property list"));
}

TEST_F(BundleTest, ExecutableFindsItsEnclosingBundle) {
    const auto path = makeBundle("Installer", installerInfo(), false);
    const auto inside = Bundle::forExecutable((path / "Contents/MacOS/Installer").string());
    EXPECT_EQ(inside->bundlePath(), path.string());
    EXPECT_EQ(inside->bundleIdentifier(), "com.vantorel.installer");

    const auto plain = Bundle::forExecutable((root_ / "bin/tool").string());
    EXPECT_EQ(plain->bundlePath(), (root_ / "bin").string());
    EXPECT_EQ(plain->executablePath(), (root_ / "bin/tool").string());
    EXPECT_FALSE(plain->infoDictionary());
}

TEST_F(BundleTest, HostCanHandItsIdentityToThePlainMainBundle) {
    const auto discovered = Bundle::main();
    ASSERT_TRUE(discovered);
    // This test program is a plain executable.
    EXPECT_FALSE(discovered->infoDictionary());
    EXPECT_EQ(discovered->executablePath(), fs::read_symlink("/proc/self/exe").string());

    Bundle::setMainInfoDictionary(installerInfo());
    EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.vantorel.installer");
    EXPECT_EQ(Bundle::main()->bundlePath(), discovered->bundlePath());

    // Only dictionaries are taken.
    Bundle::setMainInfoDictionary(Json::array());
    EXPECT_EQ(Bundle::main()->bundleIdentifier(), "com.vantorel.installer");

    Bundle::setMainInfoDictionary(std::nullopt);
    EXPECT_FALSE(Bundle::main()->infoDictionary());
}

// Runs a copy of this program from inside a bundle; the copy checks that its
// main bundle is that bundle and prints a marker.
TEST_F(BundleTest, RunningExecutableInsideABundleHasItAsMainBundle) {
    if (const char* expected = std::getenv(kChildIdentifierVariable)) {
        const auto main = Bundle::main();
        ASSERT_TRUE(main->infoDictionary());
        ASSERT_EQ(main->bundleIdentifier(), std::string(expected));
        std::printf("main bundle: %s\n", main->bundlePath().c_str());
        return;
    }

    Json info = installerInfo();
    info["CFBundleExecutable"] = "test_platform";
    const auto bundle = makeBundle("Installer", info, true);
    const auto executable = bundle / "Contents/MacOS/test_platform";
    fs::copy_file("/proc/self/exe", executable, fs::copy_options::overwrite_existing);
    fs::permissions(executable, fs::perms::owner_all);

    const std::string command = std::string(kChildIdentifierVariable) +
                                "=com.vantorel.installer '" + executable.string() +
                                "' --gtest_filter=BundleTest.RunningExecutableInsideABundle* 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("main bundle: " + bundle.string() + "\n"), std::string::npos) << output;
}

}  // namespace
}  // namespace skald::platform
