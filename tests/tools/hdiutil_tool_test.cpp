// skald-hdiutil as the installer runs it: "attach IMAGE -plist", output parsed
// as a property list, the mount point listed for an application bundle.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "installer_tools_support.h"
#include "skald/platform/property_list.h"

namespace skald::test {
namespace {

using platform::Task;

class HdiutilToolTest : public ::testing::Test {
  protected:
    /// Runs the tool with $TMPDIR in the scratch directory.
    Task::Result hdiutil(const std::vector<std::string>& arguments) {
        return Task::run(tool, arguments, environmentWith({{"TMPDIR", tmp.string()}}));
    }

    /// Packs `entries` of `source` with 7-Zip into `image`.
    void pack(const fs::path& source, const std::vector<std::string>& entries,
              const fs::path& image, const std::string& type = "-t7z") {
        platform::Task task;
        task.setLaunchPath("/usr/bin/7zz");
        std::vector<std::string> arguments{"a", type, "-bd", image.string()};
        arguments.insert(arguments.end(), entries.begin(), entries.end());
        task.setArguments(arguments);
        task.setCurrentDirectoryPath(source.string());
        task.setStandardOutput(Task::Stream::NullDevice);
        ASSERT_FALSE(task.launch());
        task.waitUntilExit();
        ASSERT_EQ(task.terminationStatus(), 0);
    }

    /// The mount point the installer would take: the first non-empty one.
    std::optional<std::string> mountPoint(const std::string& output) {
        const auto plist = platform::parsePropertyList(output);
        if (!plist || !plist->contains("system-entities")) return std::nullopt;
        for (const auto& entity : (*plist)["system-entities"]) {
            const auto found = entity.find("mount-point");
            if (found != entity.end() && !found->get<std::string>().empty()) {
                return found->get<std::string>();
            }
        }
        return std::nullopt;
    }

    ScratchDirectory scratch;
    fs::path tmp = scratch / "tmp";
    std::string tool = builtTool("skald-hdiutil");

    void SetUp() override { fs::create_directories(tmp); }
};

TEST_F(HdiutilToolTest, AttachUnpacksTheImageAndPrintsItsMountPoint) {
    const fs::path source = scratch / "source";
    fs::create_directories(source);
    fs::copy(builtApp(), source / "Vantorel.app", fs::copy_options::recursive);
    const fs::path image = scratch / "Vantorel.dmg";
    pack(source, {"Vantorel.app"}, image);

    const auto result = hdiutil({"attach", image.string(), "-plist"});
    ASSERT_TRUE(result.succeeded()) << result.standardError;
    const auto plist = platform::parsePropertyList(result.standardOutput);
    ASSERT_TRUE(plist) << result.standardOutput;
    ASSERT_EQ((*plist)["system-entities"].size(), 2u);
    EXPECT_FALSE((*plist)["system-entities"][0].contains("mount-point"))
        << "the partition scheme comes first, as with the real tool";
    const auto mount = mountPoint(result.standardOutput);
    ASSERT_TRUE(mount);
    EXPECT_EQ(fs::path(*mount).parent_path(), tmp) << "a fresh directory under $TMPDIR";
    const fs::path executable =
        fs::path(*mount) / "Vantorel.app" / "Contents" / "MacOS" / "Vantorel";
    ASSERT_TRUE(fs::exists(executable));
    EXPECT_EQ(::access(executable.c_str(), X_OK), 0) << "still executable";
    EXPECT_TRUE(fs::exists(fs::path(*mount) / "Vantorel.app" / "Contents" / "Info.plist"));

    // A second attach of the same image gets a mount point of its own.
    const auto again = hdiutil({"attach", image.string(), "-plist"});
    ASSERT_TRUE(again.succeeded());
    EXPECT_NE(mountPoint(again.standardOutput), mount);

    const auto detached = hdiutil({"detach", *mount});
    EXPECT_TRUE(detached.succeeded()) << detached.standardError;
    EXPECT_FALSE(fs::exists(*mount));
}

TEST_F(HdiutilToolTest, AVolumeFolderIsTheMountPointAndZipImagesWorkToo) {
    const fs::path source = scratch / "source";
    fs::create_directories(source / "Vantorel 2.0" / "Vantorel.app" / "Contents");
    std::ofstream(source / "Vantorel 2.0" / "Vantorel.app" / "Contents" / "Info.plist") << "x";
    const fs::path image = scratch / "volume.dmg";
    pack(source, {"Vantorel 2.0"}, image, "-tzip");

    const auto result = hdiutil({"attach", image.string(), "-plist", "-nobrowse"});
    ASSERT_TRUE(result.succeeded()) << result.standardError;
    const auto mount = mountPoint(result.standardOutput);
    ASSERT_TRUE(mount);
    EXPECT_EQ(fs::path(*mount).filename(), "Vantorel 2.0");
    EXPECT_TRUE(fs::is_directory(fs::path(*mount) / "Vantorel.app"));

    // Detaching the volume folder removes the whole mount directory.
    const fs::path outer = fs::path(*mount).parent_path();
    EXPECT_TRUE(hdiutil({"detach", *mount}).succeeded());
    EXPECT_FALSE(fs::exists(outer));

    // Without -plist the real tool's table: device, hint, mount point.
    const auto table = hdiutil({"attach", image.string()});
    ASSERT_TRUE(table.succeeded());
    EXPECT_NE(table.standardOutput.find("\tApple_HFS\t" + tmp.string() + "/"), std::string::npos)
        << table.standardOutput;
}

TEST_F(HdiutilToolTest, ImagesThatCannotBeAttachedFailWithoutAPropertyList) {
    const fs::path text = scratch / "Vantorel.dmg";
    std::ofstream(text) << "<html>503 Service Unavailable</html>\n";
    for (const auto& image :
         {text.string(), (scratch / "missing.dmg").string(), scratch.path().string()}) {
        const auto result = hdiutil({"attach", image, "-plist"});
        EXPECT_FALSE(result.launchError);
        EXPECT_NE(result.status, 0) << image;
        EXPECT_EQ(result.standardOutput, "") << "no property list for " << image;
        EXPECT_FALSE(platform::parsePropertyList(result.standardOutput));
        EXPECT_NE(result.standardError.find("hdiutil: attach failed"), std::string::npos)
            << result.standardError;
    }
    EXPECT_EQ(entriesStartingWith(tmp, "skald-hdiutil-"), 0u) << "no mount point left behind";

    // 7-Zip missing: a message, not a hang or a crash.
    const auto no7zip =
        Task::run(tool, {"attach", text.string(), "-plist"},
                  environmentWith({{"TMPDIR", tmp.string()}, {"SKALD_7ZZ", "/nonexistent/7zz"}}));
    EXPECT_NE(no7zip.status, 0);
    EXPECT_NE(no7zip.standardError.find("cannot run 7-Zip"), std::string::npos);
}

TEST_F(HdiutilToolTest, DetachRemovesOnlyWhatAttachMade) {
    const fs::path precious = scratch / "precious";
    fs::create_directories(precious / "inner");
    EXPECT_FALSE(hdiutil({"detach", precious.string()}).succeeded());
    EXPECT_FALSE(hdiutil({"detach", (precious / "inner").string()}).succeeded());
    EXPECT_TRUE(fs::exists(precious / "inner"));
    EXPECT_EQ(hdiutil({}).status, 2);
    EXPECT_EQ(hdiutil({"attach"}).status, 2);
    EXPECT_EQ(hdiutil({"attach", "a.dmg", "-bogus"}).status, 2);
}

}  // namespace
}  // namespace skald::test
