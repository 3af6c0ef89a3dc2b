// The resource watcher on this very process: a thread that spins above the
// CPU budget gives one CPU-exception event whose stack holds the spinning
// function; an idle process gives none.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include "crash/async_safe/binary_images.h"
#include "crash/async_safe/monitors.h"
#include "crash/async_safe/symbol_lookup.h"
#include "crash/recording/binary_image_list.h"
#include "crash/recording/symbol_indexes.h"
#include "diagnostics/diagnostics_fixture.h"
#include "integrations/diagnostics/resource_watcher.h"
#include "platform/system/process_usage.h"
#include "skald/option_value.h"
#include "skald/options.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;

__attribute__((noinline)) void diagnosticsTestSpin(const std::atomic<bool>& stop) {
    uint64_t counter = 0;
    while (!stop.load(std::memory_order_relaxed)) {
        ++counter;
        asm volatile("" : "+r"(counter));
    }
}

/// Writes `bytes` to `path` and makes them reach the disk, then waits to be stopped.
__attribute__((noinline)) void diagnosticsTestWrite(const std::string& path, size_t bytes,
                                                    const std::atomic<bool>& stop) {
    {
        std::ofstream file(path, std::ios::binary);
        file << std::string(bytes, 'x');
    }
    const int fd = ::open(path.c_str(), O_RDONLY);
    ::fsync(fd);
    ::close(fd);
    while (!stop) std::this_thread::sleep_for(10ms);
    asm volatile("" ::: "memory");  // keeps the loop out of a tail position
}

/// The name of the function that holds `address`, from the images' symbol tables.
std::string functionAt(uint64_t address) {
    crash::BinaryImage image;
    if (!crash::findBinaryImage(address, &image)) return "";
    const char* name = nullptr;
    uintptr_t start = 0;
    return crash::lookupSymbol(image, address, &name, &start) && name ? name : "";
}

class ResourceWatcherTest : public DiagnosticsFixture {
  protected:
    void SetUp() override {
        DiagnosticsFixture::SetUp();
        // A quarter of a core: a spinning thread passes it even on a busy
        // machine, an idle process stays far below.
        options->cpuExceptionBudget = 0.25;
        options->cpuExceptionWindow = 3;
    }

    std::vector<Json> cpuExceptionEvents() const {
        std::vector<Json> found;
        for (const auto& event : events()) {
            if (event["exception"]["values"][0]["mechanism"]["type"] == "mx_cpu_exception")
                found.push_back(event);
        }
        return found;
    }
};

TEST_F(ResourceWatcherTest, ThreadSpinningAboveTheBudgetGivesOneEventWithTheSpinningFunction) {
    install();
    std::atomic<bool> stop{false};
    std::thread spinner([&stop] { diagnosticsTestSpin(stop); });
    // A window and a half of spinning: one window over budget, not two.
    std::this_thread::sleep_for(4500ms);
    stop = true;
    spinner.join();
    std::this_thread::sleep_for(2500ms);
    integration->uninstall();

    const auto sent = cpuExceptionEvents();
    ASSERT_EQ(sent.size(), 1u);
    const Json& exception = sent[0]["exception"]["values"][0];
    EXPECT_EQ(sent[0]["level"], "warning");
    EXPECT_EQ(exception["type"], "MXCPUException");
    EXPECT_EQ(exception["value"].get<std::string>().rfind("MXCPUException totalCPUTime:", 0), 0u)
        << exception["value"];

    crash::BinaryImageList::refresh();
    crash::updateSymbolIndexes();
    bool spinnerFound = false;
    const Json& frames = exception["stacktrace"]["frames"];
    ASSERT_FALSE(frames.empty());
    for (const auto& frame : frames) {
        const uint64_t address =
            std::stoull(frame["instruction_addr"].get<std::string>(), nullptr, 16);
        if (functionAt(address).find("diagnosticsTestSpin") != std::string::npos) {
            spinnerFound = true;
        }
    }
    EXPECT_TRUE(spinnerFound) << frames.dump(1);
    // The innermost frame is where the spinner was stopped.
    EXPECT_NE(
        functionAt(std::stoull(frames.back()["instruction_addr"].get<std::string>(), nullptr, 16))
            .find("diagnosticsTestSpin"),
        std::string::npos);
    // Its image is among the debug images, by the build-id of this program.
    const Json& images = sent[0]["debug_meta"]["images"];
    bool imageListed = false;
    for (const auto& image : images) {
        if (image["image_addr"] == frames.back()["image_addr"]) imageListed = true;
    }
    EXPECT_TRUE(imageListed) << images.dump(1);
}

TEST_F(ResourceWatcherTest, WritingOverTheDailyBudgetGivesOneDiskWriteEventWithTheWritersStack) {
    options->cpuExceptionBudget = 0;
    options->diskWriteBudgetPerDay = 1000000;
    // As in a host with crash handling on: the writer, stopped inside the C
    // library, walks its stack with the unwind tables.
    crash::signalMonitorApi()->setEnabled(true);
    install();
    // After the watcher's first reading, which counts what came before.
    std::this_thread::sleep_for(1500ms);
    const uint64_t writtenBefore = platform::processWriteBytes().value_or(0);
    std::atomic<bool> stop{false};
    std::thread writer(
        [&] { diagnosticsTestWrite((root / "written.bin").string(), 4 << 20, stop); });
    std::this_thread::sleep_for(3000ms);
    stop = true;
    writer.join();
    integration->uninstall();
    crash::signalMonitorApi()->setEnabled(false);
    if (platform::processWriteBytes().value_or(0) - writtenBefore < (4u << 20)) {
        GTEST_SKIP() << "the file system of " << root << " does not count writes in /proc/self/io";
    }

    std::vector<Json> sent;
    for (const auto& event : events()) {
        if (event["exception"]["values"][0]["mechanism"]["type"] == "mx_disk_write_exception")
            sent.push_back(event);
    }
    ASSERT_EQ(sent.size(), 1u);
    const Json& exception = sent[0]["exception"]["values"][0];
    const std::string value = exception["value"];
    ASSERT_EQ(value.rfind("MXDiskWriteException totalWritesCaused:", 0), 0u) << value;
    EXPECT_GE(std::stod(value.substr(value.find(':') + 1)), 4.19) << value;  // MB

    crash::BinaryImageList::refresh();
    crash::updateSymbolIndexes();
    bool writerFound = false;
    for (const auto& frame : exception["stacktrace"]["frames"]) {
        const uint64_t address =
            std::stoull(frame["instruction_addr"].get<std::string>(), nullptr, 16);
        if (functionAt(address).find("diagnosticsTestWrite") != std::string::npos) {
            writerFound = true;
        }
    }
    EXPECT_TRUE(writerFound) << exception["stacktrace"].dump(1);
}

TEST_F(ResourceWatcherTest, IdleProcessGivesNoEvent) {
    install();
    std::this_thread::sleep_for(4500ms);
    integration->uninstall();
    EXPECT_TRUE(cpuExceptionEvents().empty());
}

TEST_F(ResourceWatcherTest, ThreadWorkingUnderTheBudgetGivesNoEvent) {
    install();
    // Busy for 20 ms in every 200: a tenth of a core.
    std::thread worker([] {
        const auto end = std::chrono::steady_clock::now() + 4500ms;
        while (std::chrono::steady_clock::now() < end) {
            const auto busyUntil = std::chrono::steady_clock::now() + 20ms;
            while (std::chrono::steady_clock::now() < busyUntil) {
            }
            std::this_thread::sleep_for(180ms);
        }
    });
    worker.join();
    integration->uninstall();
    EXPECT_TRUE(cpuExceptionEvents().empty());
}

TEST_F(ResourceWatcherTest, OffByDefaultAndStoppedByUninstall) {
    EXPECT_FALSE(ResourceWatcherSettings::fromOptions(Options()).watchesAnything());
    install();
    integration->uninstall();
    // Spinning after uninstall is not watched any more.
    std::atomic<bool> stop{false};
    std::thread spinner([&stop] { diagnosticsTestSpin(stop); });
    std::this_thread::sleep_for(4000ms);
    stop = true;
    spinner.join();
    EXPECT_TRUE(cpuExceptionEvents().empty());
}

TEST(ResourceWatcherSettingsTest, BudgetsComeFromTheOptionsDictionaryAndNonsenseIsIgnored) {
    auto options = Options::fromDict({{"dsn", "https://key@example.com/1"},
                                      {"cpuExceptionBudget", 0.8},
                                      {"cpuExceptionWindow", 30},
                                      {"diskWriteBudgetPerDay", 1000000000}});
    ASSERT_TRUE(options);
    const auto settings = ResourceWatcherSettings::fromOptions(*options);
    EXPECT_DOUBLE_EQ(settings.cpuShare, 0.8);
    EXPECT_DOUBLE_EQ(settings.cpuWindowSeconds, 30);
    EXPECT_EQ(settings.diskWriteBytes, 1000000000u);

    options = Options::fromDict({{"dsn", "https://key@example.com/1"},
                                 {"cpuExceptionBudget", -1},
                                 {"cpuExceptionWindow", 0},
                                 {"diskWriteBudgetPerDay", "a lot"}});
    ASSERT_TRUE(options);
    EXPECT_FALSE(ResourceWatcherSettings::fromOptions(*options).watchesAnything());
    EXPECT_DOUBLE_EQ(options->cpuExceptionWindow, 60);
}

}  // namespace
}  // namespace skald::test
