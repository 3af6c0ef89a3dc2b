// The real start of the SDK over cache folders into which FIFOs and symlinks
// were planted under the names of crash reports and envelopes. Crash handling
// is installed once per process, so this test needs a process of its own (as
// ctest runs it).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "core/dependency_container.h"
#include "skald/serialization.h"
#include "integrations/crash_integration.h"
#include "integrations/crash_reporter.h"
#include "persistence/file_manager.h"
#include "skald/envelope.h"
#include "skald/event.h"
#include "skald/options.h"
#include "skald/sdk.h"
#include "support/eventually.h"
#include "support/file_manager_fixture.h"
#include "support/hostile_files.h"
#include "support/temp_directory.h"
#include "tools/receiver/receiver.h"

namespace skald::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

/// A stored report of a segmentation fault; `marker` is its one tag.
std::string crashReport(const std::string& marker) {
    return R"({"report":{"version":"3.2.0","id":"5C1C1B4A-8E1E-4E2A-9B0C-3C1F2F7A9D10",)"
           R"("timestamp":1700000000,"type":"standard"},)"
           R"("crash":{"error":{"type":"signal","address":0,)"
           R"("signal":{"signal":11,"name":"SIGSEGV","code":1,"code_name":"SEGV_MAPERR"}},)"
           R"("threads":[{"index":0,"crashed":true,"current_thread":true,)"
           R"("backtrace":{"contents":[{"instruction_addr":4096}],"skipped":0}}]},)"
           R"("user":{"tags":{"planted":")" +
           marker + R"("}}})";
}

std::string reportName(const std::string& app, uint64_t reportId) {
    char name[64];
    std::snprintf(name, sizeof name, "-report-%016llx.json",
                  static_cast<unsigned long long>(reportId));
    return app + name;
}

class HostileStartTest : public FileManagerFixture {
  protected:
    void SetUp() override {
        FileManagerFixture::SetUp();
        tools::ReceiverConfig config;
        config.port = 0;
        config.output = [](const std::string&) {};
        receiver = std::make_unique<tools::Receiver>(config);
        ASSERT_TRUE(receiver->start());
    }
    void TearDown() override {
        SDK::close();
        receiver->stop();
        FileManagerFixture::TearDown();
    }

    bool received(const std::string& text) const {
        for (const auto& envelope : receiver->received()) {
            if (envelope.body.find(text) != std::string::npos) return true;
        }
        return false;
    }

    std::unique_ptr<tools::Receiver> receiver;
};

TEST_F(HostileStartTest, StartsPromptlyAndStillSendsTheGoodReportAndEnvelope) {
    if (!crash::CrashReporter::shared().installPath().empty()) {
        GTEST_SKIP() << "crash handling was already installed in this process";
    }
    CrashIntegration::resetForTesting();

    auto startOptions = std::make_shared<Options>();
    startOptions->setDsn("http://public@127.0.0.1:" + std::to_string(receiver->port()) + "/42");
    startOptions->cacheDirectoryPath = (root / "start-cache").string();
    startOptions->releaseName = "app@3";

    TempDirectory elsewhere;
    // A stored envelope of the last run, behind a FIFO and a link to an
    // envelope outside the cache.
    Event stored(Level::Error);
    stored.logger = "stored-before-start";
    const std::string storedPath =
        FileManager::make(*startOptions, queue)->storeEnvelope(*Envelope::forEvent(stored));
    ASSERT_FALSE(storedPath.empty());
    const std::string envelopes = fs::path(storedPath).parent_path().string();
    Event outsideEvent(Level::Error);
    outsideEvent.logger = "outside-envelope";
    const std::string outsideEnvelope = elsewhere.write(
        "envelope", *Serialization::dataWithEnvelope(*Envelope::forEvent(outsideEvent)));
    plantHostile(Hostile::Fifo, envelopes + "/0000-fifo.json", "");
    plantHostile(Hostile::SymlinkOutside, envelopes + "/0001-link.json", outsideEnvelope);

    // A crash report of the last run, behind a FIFO and a link to a report
    // outside the folder.
    const crash::CrashReporter layout(startOptions->cacheDirectoryPath);
    const std::string app = fs::path(layout.installPath()).filename().string();
    const std::string reports = layout.installPath() + "/Reports";
    fs::create_directories(reports);
    const std::string outsideReportText = crashReport("outside-report");
    const std::string outsideReport = elsewhere.write("report.json", outsideReportText);
    plantHostile(Hostile::Fifo, reports + "/" + reportName(app, 1), "");
    plantHostile(Hostile::SymlinkOutside, reports + "/" + reportName(app, 2), outsideReport);
    std::ofstream(reports + "/" + reportName(app, 3)) << crashReport("good-report");

    {
        Watchdog watchdog(20s, "SDK::startWithOptions");
        const auto started = std::chrono::steady_clock::now();
        SDK::startWithOptions(startOptions);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    }
    ASSERT_TRUE(SDK::isEnabled());

    EXPECT_TRUE(eventually([&] { return received("stored-before-start"); }, 15s));
    EXPECT_TRUE(eventually([&] { return received("good-report"); }, 15s));
    EXPECT_FALSE(received("outside-envelope"));
    EXPECT_FALSE(received("outside-report"));

    // The planted entries are gone; what they led to is untouched.
    EXPECT_FALSE(entryExists(envelopes + "/0000-fifo.json"));
    EXPECT_FALSE(entryExists(envelopes + "/0001-link.json"));
    EXPECT_FALSE(entryExists(reports + "/" + reportName(app, 1)));
    EXPECT_FALSE(entryExists(reports + "/" + reportName(app, 2)));
    EXPECT_EQ(TempDirectory::read(outsideReport), outsideReportText);
    EXPECT_NE(TempDirectory::read(outsideEnvelope).find("outside-envelope"), std::string::npos);
}

}  // namespace
}  // namespace skald::test
