#include "core/crash_wrapper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/dependency_container.h"
#include "support/temp_directory.h"
#include "crash/async_safe/app_state.h"
#include "crash/recording/app_state_monitor.h"
#include "crash/recording/binary_image_cache.h"
#include "skald/platform/bundle.h"
#include "skald/scope.h"
#include "support/log_capture.h"

namespace skald {
namespace {

void keep(const std::vector<char>& block) {
    asm volatile("" : : "g"(block.data()) : "memory");
}

using test::ScopedEnv;
using test::TempDirectory;

/// A process file system with the files the wrapper reads.
struct FakeProc {
    TempDirectory dir;
    FakeProc(const std::string& meminfo, const std::string& statm, const std::string& status) {
        dir.write("meminfo", meminfo);
        dir.write("self/statm", statm);
        dir.write("self/status", status);
    }
};

TEST(CrashWrapperTest, MemorySizesFromTheProcessFileSystem) {
    FakeProc proc("MemTotal: 1000 kB\nMemFree:  250 kB\nMemAvailable: 600 kB\n",
                  "9000 300 20 1 0 100 0\n",
                  "Name:\ttest\nTracerPid:\t0\nVmRSS:\t  1200 kB\nVmSwap:\t    64 kB\n");
    CrashWrapper wrapper(proc.dir.path());
    EXPECT_EQ(wrapper.freeMemorySize(), 250u * 1024);
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    EXPECT_EQ(wrapper.appMemorySize(), 300 * page + 64 * 1024) << "resident plus swapped out";
    EXPECT_FALSE(wrapper.isBeingTraced());
}

TEST(CrashWrapperTest, AppMemoryWithoutSwapAccountingIsTheResidentSet) {
    FakeProc proc("MemFree: 1 kB\n", "10 7\n", "Name:\ttest\nTracerPid:\t4711\n");
    CrashWrapper wrapper(proc.dir.path());
    EXPECT_EQ(wrapper.appMemorySize(), 7 * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)));
    EXPECT_TRUE(wrapper.isBeingTraced());
}

TEST(CrashWrapperTest, UnreadableOrMalformedFilesGiveZeroAndLog) {
    {
        TempDirectory empty;
        test::LogCapture log(Level::Error);
        CrashWrapper wrapper(empty.path());
        EXPECT_EQ(wrapper.freeMemorySize(), 0u);
        EXPECT_EQ(wrapper.appMemorySize(), 0u);
        EXPECT_FALSE(wrapper.isBeingTraced());
        EXPECT_TRUE(log.contains("meminfo"));
        EXPECT_TRUE(log.contains("statm"));
    }
    {
        FakeProc proc("MemTotal: 5 kB\n", "garbage\n", "Name:\tx\n");
        test::LogCapture log(Level::Error);
        CrashWrapper wrapper(proc.dir.path());
        EXPECT_EQ(wrapper.freeMemorySize(), 0u);
        EXPECT_EQ(wrapper.appMemorySize(), 0u);
        EXPECT_TRUE(log.contains("no MemFree"));
        EXPECT_TRUE(log.contains("unexpected contents"));
    }
}

TEST(CrashWrapperTest, RealProcessMemoryIsPositive) {
    CrashWrapper wrapper;
    EXPECT_GT(wrapper.freeMemorySize(), 0u);
    const uint64_t app = wrapper.appMemorySize();
    EXPECT_GT(app, 0u);
    // Touching memory makes it resident.
    std::vector<char> block(16 << 20, 1);
    keep(block);
    EXPECT_GT(wrapper.appMemorySize(), app + (8 << 20));
    EXPECT_FALSE(wrapper.isSimulatorBuild());
}

TEST(CrashWrapperTest, CrashStateIsReadFromTheCrashStateMonitor) {
    CrashWrapper wrapper;
    crash::appstate::state() = crash::appstate::AppState{};
    EXPECT_FALSE(wrapper.crashedLastLaunch()) << "never initialised";
    EXPECT_EQ(wrapper.durationFromCrashStateInitToLastCrash(), 0);
    EXPECT_EQ(wrapper.activeDurationSinceLastCrash(), 0);
    EXPECT_FALSE(wrapper.isApplicationInForeground());

    TempDirectory dir;
    dir.write("Data/CrashState.json",
              R"({"version":1,"crashedLastLaunch":true,"activeDurationSinceLastCrash":12.5,)"
              R"("durationFromCrashStateInitToLastCrash":40})");
    crash::appstate::initialize(dir.path());
    EXPECT_TRUE(wrapper.crashedLastLaunch());
    EXPECT_DOUBLE_EQ(wrapper.durationFromCrashStateInitToLastCrash(), 40);
    EXPECT_DOUBLE_EQ(wrapper.activeDurationSinceLastCrash(), 12.5);
    crash::appstate::setEnabled(true);
    EXPECT_TRUE(wrapper.isApplicationInForeground());
    crash::appstate::notifyAppInForeground(false);
    EXPECT_FALSE(wrapper.isApplicationInForeground());

    crash::appstate::setEnabled(false);
    crash::appstate::state() = crash::appstate::AppState{};
}

TEST(CrashWrapperTest, BinaryImageCacheOfTheContainer) {
    DependencyContainer::reset();
    CrashWrapper wrapper;
    auto cache = DependencyContainer::sharedInstance()->binaryImageCache();
    EXPECT_TRUE(cache->images().empty());
    wrapper.startBinaryImageCache();
    EXPECT_FALSE(cache->images().empty());
    wrapper.stopBinaryImageCache();
    EXPECT_TRUE(cache->images().empty());
    DependencyContainer::reset();
}

TEST(CrashWrapperEnrichScopeTest, SetsOsDeviceAndAppContexts) {
    ScopedEnv all("LC_ALL", "pt_BR.UTF-8");
    platform::Bundle::setMainInfoDictionary(Json{{"CFBundleIdentifier", "com.example.app"},
                                                 {"CFBundleName", "Example"},
                                                 {"CFBundleVersion", "42"}});
    CrashWrapper wrapper;
    const Json info = wrapper.systemInfo();
    Scope scope;
    wrapper.enrichScope(scope);
    platform::Bundle::setMainInfoDictionary(std::nullopt);
    const Json context = scope.context();

    ASSERT_TRUE(context.contains("os"));
    const Json& os = context["os"];
    EXPECT_EQ(os["name"], "Linux");
    EXPECT_EQ(os["version"], info["systemVersion"]);
    EXPECT_EQ(os["build"], info["osVersion"]);
    EXPECT_EQ(os["kernel_version"], info["kernelVersion"]);
    EXPECT_EQ(os["rooted"], false);

    ASSERT_TRUE(context.contains("device"));
    const Json& device = context["device"];
    EXPECT_EQ(device["simulator"], false);
    EXPECT_EQ(device["family"], "Linux");
    EXPECT_EQ(device["arch"], info["cpuArchitecture"]);
    EXPECT_EQ(device["model"], info["machine"]);
    EXPECT_EQ(device.contains("model_id"), info.contains("model"));
    EXPECT_EQ(device["memory_size"], info["memorySize"]);
    EXPECT_TRUE(device["free_memory"].is_number_integer());
    EXPECT_TRUE(device["usable_memory"].is_number_integer());
    EXPECT_EQ(device["locale"], "pt_BR");

    ASSERT_TRUE(context.contains("app"));
    const Json& app = context["app"];
    EXPECT_EQ(app["app_identifier"], "com.example.app");
    EXPECT_EQ(app["app_name"], "Example");
    EXPECT_EQ(app["app_build"], "42");
    EXPECT_FALSE(app.contains("app_version")) << "missing bundle keys are left out";
    EXPECT_EQ(app["app_start_time"], info["appStartTime"]);
    EXPECT_EQ(app["device_app_hash"], info["deviceAppHash"]);
    EXPECT_EQ(app["app_id"], info["appID"]);
    EXPECT_EQ(app["build_type"], "unknown");
    for (const auto& part : {os, device, app}) {
        for (const auto& [key, value] : part.items()) EXPECT_FALSE(value.is_null()) << key;
    }
}

/// A wrapper whose collector found nothing.
class NoSystemInfoWrapper : public CrashWrapper {
  public:
    Json systemInfo() override { return Json::object(); }
};

TEST(CrashWrapperEnrichScopeTest, WithoutSystemInfoOnlyTheOsNameAndVersion) {
    NoSystemInfoWrapper wrapper;
    Scope scope;
    scope.setContextValue(Json{{"kept", true}}, "device");
    wrapper.enrichScope(scope);
    const Json context = scope.context();
    ASSERT_TRUE(context.contains("os"));
    EXPECT_EQ(context["os"]["name"], "Linux");
    EXPECT_TRUE(context["os"].contains("version"));
    EXPECT_FALSE(context["os"].contains("build"));
    EXPECT_FALSE(context["os"].contains("kernel_version"));
    EXPECT_FALSE(context.contains("app"));
    EXPECT_EQ(context["device"], (Json{{"kept", true}})) << "left untouched";
}

}  // namespace
}  // namespace skald
