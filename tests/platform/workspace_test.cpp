#include "skald/platform/workspace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "skald/platform/task.h"
#include "skald/platform/tool_paths.h"
#include "support/eventually.h"

namespace skald::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::eventually;

class WorkspaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("skald-workspace-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        identifier = "com.skald.test.sleeper." + std::to_string(::getpid());
    }
    void TearDown() override {
        for (auto& task : tasks) {
            task->terminate();
            task->waitUntilExit();
        }
        ToolPaths::setUrlOpenerPath(std::nullopt);
        fs::remove_all(dir);
    }

    /// "Name.app" whose executable is a real program (a copy of sleep): the
    /// process's executable is then the bundle's, as for a native application.
    fs::path makeBundle(const std::string& name, const std::string& bundleIdentifier) {
        const fs::path bundle = dir / (name + ".app");
        fs::create_directories(bundle / "Contents" / "MacOS");
        fs::copy_file("/bin/sleep", bundle / "Contents" / "MacOS" / name);
        std::ofstream(bundle / "Contents" / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << "<key>CFBundleIdentifier</key><string>" << bundleIdentifier << "</string>"
            << "<key>CFBundleExecutable</key><string>" << name << "</string>"
            << "<key>CFBundleName</key><string>" << name << "</string></dict></plist>\n";
        return bundle;
    }

    Task& launch(const fs::path& executable) {
        tasks.push_back(std::make_unique<Task>());
        Task& task = *tasks.back();
        task.setLaunchPath(executable.string());
        task.setArguments({"30"});
        EXPECT_FALSE(task.launch());
        return task;
    }

    fs::path dir;
    std::string identifier;
    std::vector<std::unique_ptr<Task>> tasks;
};

TEST_F(WorkspaceTest, FindsTheProcessesOfABundleWhileTheyRun) {
    const auto bundle = makeBundle("Sleeper", identifier);
    const auto other = makeBundle("Other", identifier + ".other");
    EXPECT_TRUE(Workspace::runningApplicationsWithBundleIdentifier(identifier).empty());

    Task& first = launch(bundle / "Contents" / "MacOS" / "Sleeper");
    Task& second = launch(bundle / "Contents" / "MacOS" / "Sleeper");
    launch(other / "Contents" / "MacOS" / "Other");
    // A plain copy of the executable outside a bundle does not count.
    fs::copy_file("/bin/sleep", dir / "Sleeper");
    launch(dir / "Sleeper");

    std::vector<RunningApplication> running;
    ASSERT_TRUE(eventually([&] {
        running = Workspace::runningApplicationsWithBundleIdentifier(identifier);
        return running.size() == 2;
    }));
    std::vector<pid_t> expected{first.processIdentifier(), second.processIdentifier()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(running[0].processIdentifier, expected[0]);
    EXPECT_EQ(running[1].processIdentifier, expected[1]);
    EXPECT_EQ(running[0].bundleIdentifier, identifier);
    EXPECT_EQ(running[0].bundlePath, bundle.string());
    EXPECT_EQ(running[0].executablePath, (bundle / "Contents" / "MacOS" / "Sleeper").string());
    EXPECT_EQ(running[0].localizedName, "Sleeper");

    first.terminate();
    first.waitUntilExit();
    running = Workspace::runningApplicationsWithBundleIdentifier(identifier);
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0].processIdentifier, second.processIdentifier());
    second.terminate();
    second.waitUntilExit();
    EXPECT_TRUE(Workspace::runningApplicationsWithBundleIdentifier(identifier).empty());
}

TEST_F(WorkspaceTest, AnApplicationReplacedOnDiskWhileItRunsStillCounts) {
    const auto bundle = makeBundle("Sleeper", identifier);
    const auto executable = bundle / "Contents" / "MacOS" / "Sleeper";
    Task& task = launch(executable);
    ASSERT_TRUE(eventually([&] {
        return Workspace::runningApplicationsWithBundleIdentifier(identifier).size() == 1;
    }));
    // An installer replaces the bundle: the running process's file is gone.
    fs::remove_all(bundle);
    makeBundle("Sleeper", identifier);
    const auto running = Workspace::runningApplicationsWithBundleIdentifier(identifier);
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0].processIdentifier, task.processIdentifier());
    EXPECT_EQ(running[0].executablePath, executable.string());

    // Replaced by a bundle of another product: it no longer counts.
    fs::remove_all(bundle);
    makeBundle("Sleeper", identifier + ".successor");
    EXPECT_TRUE(Workspace::runningApplicationsWithBundleIdentifier(identifier).empty());
}

TEST_F(WorkspaceTest, TheBrowserOpensEachUrlThroughTheUrlOpener) {
    const fs::path recorder = dir / "opener";
    const fs::path log = dir / "opened.txt";
    std::ofstream(recorder) << "#!/bin/sh\necho \"$#:$1\" >> '" << log.string() << "'\n";
    fs::permissions(recorder, fs::perms::owner_all);
    ToolPaths::setUrlOpenerPath(recorder.string());

    const std::string url = "https://downloads.example/download?v2=true&platform=mac&arch=x64";
    EXPECT_TRUE(Workspace::openUrls({url, "https://other.example/a b"},
                                    Workspace::kDefaultBrowserBundleIdentifier));
    ASSERT_TRUE(eventually([&] {
        std::ifstream in(log);
        std::string all((std::istreambuf_iterator<char>(in)), {});
        return std::count(all.begin(), all.end(), '\n') == 2;
    }));
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"1:" + url, "1:https://other.example/a b"}))
        << "one URL per run, passed whole";

    EXPECT_FALSE(Workspace::openUrls({}, Workspace::kDefaultBrowserBundleIdentifier));
    EXPECT_FALSE(Workspace::openUrls({"--help"}, Workspace::kDefaultBrowserBundleIdentifier));
    ToolPaths::setUrlOpenerPath((dir / "missing-opener").string());
    EXPECT_FALSE(Workspace::openUrls({url}, Workspace::kDefaultBrowserBundleIdentifier));
}

TEST_F(WorkspaceTest, OtherApplicationsAreFoundByIdentifierInTheApplicationsFolders) {
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    ::setenv("HOME", dir.c_str(), 1);
    fs::create_directories(dir / "Applications");
    const fs::path bundle = dir / "Applications" / "Viewer.app";
    fs::create_directories(bundle / "Contents" / "MacOS");
    const fs::path log = dir / "viewer.txt";
    std::ofstream(bundle / "Contents" / "MacOS" / "Viewer")
        << "#!/bin/sh\necho \"$@\" > '" << log.string() << "'\n";
    fs::permissions(bundle / "Contents" / "MacOS" / "Viewer", fs::perms::owner_all);
    std::ofstream(bundle / "Contents" / "Info.plist")
        << "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" << identifier
        << ".viewer</string><key>CFBundleExecutable</key><string>Viewer</string>"
        << "</dict></plist>";

    EXPECT_EQ(Workspace::applicationPathForBundleIdentifier(identifier + ".viewer"),
              bundle.string());
    EXPECT_TRUE(Workspace::openUrls({"file:///a", "file:///b"}, identifier + ".viewer"));
    EXPECT_TRUE(eventually([&] { return fs::exists(log) && fs::file_size(log) > 0; }));
    std::ifstream in(log);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "file:///a file:///b");
    EXPECT_FALSE(Workspace::openUrls({"file:///a"}, identifier + ".unknown"));
    ::setenv("HOME", savedHome.c_str(), 1);
}

TEST(ToolPathsTest, SettersBeatTheEnvironmentWhichBeatsTheLookup) {
    ::unsetenv("VANTOREL_TOOL_UNZIP");
    EXPECT_EQ(ToolPaths::unzipPath(), "/usr/bin/unzip");
    ::setenv("VANTOREL_TOOL_UNZIP", "/opt/unzip", 1);
    ::setenv("VANTOREL_TOOL_HDIUTIL", "/opt/hdiutil", 1);
    ::setenv("VANTOREL_TOOL_OPEN", "/opt/open", 1);
    EXPECT_EQ(ToolPaths::unzipPath(), "/opt/unzip");
    EXPECT_EQ(ToolPaths::hdiutilPath(), "/opt/hdiutil");
    EXPECT_EQ(ToolPaths::openPath(), "/opt/open");
    ToolPaths::setHdiutilPath("/test/hdiutil");
    EXPECT_EQ(ToolPaths::hdiutilPath(), "/test/hdiutil");
    ToolPaths::setHdiutilPath(std::nullopt);
    EXPECT_EQ(ToolPaths::hdiutilPath(), "/opt/hdiutil");
    ::unsetenv("VANTOREL_TOOL_UNZIP");
    ::unsetenv("VANTOREL_TOOL_HDIUTIL");
    ::unsetenv("VANTOREL_TOOL_OPEN");

    // Never the Linux /usr/bin/open (openvt), whatever is installed.
    EXPECT_NE(ToolPaths::openPath(), "/usr/bin/open");
    EXPECT_EQ(fs::path(ToolPaths::openPath()).filename(), "skald-open");
    EXPECT_EQ(fs::path(ToolPaths::hdiutilPath()).filename(), "skald-hdiutil");
}

TEST(ToolPathsTest, HelpersAreFoundOnThePathWhenNotBesideTheProgram) {
    const fs::path bin = fs::temp_directory_path() / ("skald-path-" + std::to_string(getpid()));
    fs::create_directories(bin);
    const std::string name = "skald-test-helper-" + std::to_string(getpid());
    std::ofstream(bin / name) << "#!/bin/sh\n";
    const char* path = std::getenv("PATH");
    const std::string savedPath = path ? path : "";
    ::setenv("PATH", (bin.string() + ":" + savedPath).c_str(), 1);
    EXPECT_FALSE(ToolPaths::findHelper(name)) << "not executable";
    fs::permissions(bin / name, fs::perms::owner_all);
    EXPECT_EQ(ToolPaths::findHelper(name), (bin / name).string());
    ::setenv("PATH", savedPath.c_str(), 1);
    fs::remove_all(bin);
    EXPECT_FALSE(ToolPaths::findHelper(name));
}

}  // namespace
}  // namespace skald::platform
