// The report store, the report fixer and the crash-time file helpers on real files.
#include "crash/recording/report_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "crash/async_safe/buffered_writer.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/report_paths.h"
#include "crash/recording/report_fixer.h"
#include "integrations/crash_reporter.h"
#include "support/hostile_files.h"
#include "support/temp_directory.h"

namespace skald::crash {
namespace {

namespace fs = std::filesystem;

class ReportStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { reports_ = fs::path(directory_.path()) / "Reports"; }
    void TearDown() override { setMaxReportCount(5); }

    void writeReport(const std::string& app, uint64_t reportId, const std::string& text = "{}") {
        char name[64];
        std::snprintf(name, sizeof name, "-report-%016llx.json",
                      static_cast<unsigned long long>(reportId));
        fs::create_directories(reports_);
        std::ofstream(reports_ / (app + name)) << text;
    }

    test::TempDirectory directory_;
    fs::path reports_;
};

TEST_F(ReportStoreTest, PathsCarryTheAppNameWithoutSlashesAndRoundTrip) {
    initializeReportStore("My/App", reports_.c_str());
    setNextReportId(0x2a);
    char path[500];
    ASSERT_TRUE(nextCrashReportPath(path, sizeof path));
    EXPECT_EQ(std::string(path), reports_.string() + "/My-App-report-000000000000002a.json");
    char attachments[500];
    ASSERT_TRUE(attachmentsPathForReport(path, attachments, sizeof attachments));
    EXPECT_EQ(std::string(attachments),
              reports_.string() + "/My-App-report-000000000000002a-attachments");
    // The IDs grow by one per report.
    ASSERT_TRUE(nextCrashReportPath(path, sizeof path));
    EXPECT_NE(std::string(path).find("-report-000000000000002b.json"), std::string::npos);
    // A path that does not fit is refused rather than cut.
    char tiny[16];
    EXPECT_FALSE(nextCrashReportPath(tiny, sizeof tiny));
    EXPECT_EQ(reportIdFromFileName("My-App-report-000000000000002a.json"), 0x2aU);
    EXPECT_EQ(reportIdFromFileName("My-App-report-xyz.json"), 0U);
    EXPECT_EQ(reportIdFromFileName("Other-report-000000000000002a.json"), 0U);
    EXPECT_EQ(reportIdFromFileName("My-App-report-000000000000002a.json.tmp"), 0U);
}

TEST_F(ReportStoreTest, SeededIdsFollowTheTimeFormula) {
    initializeReportStore("app", reports_.c_str());
    char path[500];
    ASSERT_TRUE(nextCrashReportPath(path, sizeof path));
    const std::string name = fs::path(path).filename().string();
    const uint64_t reportId = reportIdFromFileName(name.c_str());
    const time_t now = ::time(nullptr);
    struct tm utc {};
    ::gmtime_r(&now, &utc);
    const uint32_t base = static_cast<uint32_t>(utc.tm_sec + utc.tm_min * 61 + utc.tm_hour * 3660 +
                                                utc.tm_yday * 87840) +
                          static_cast<uint32_t>(utc.tm_year) * 32149440U;
    // Within a few seconds of now.
    const uint64_t expected = static_cast<uint64_t>(base) << 23;
    EXPECT_GE(reportId, expected - (uint64_t{5} << 23));
    EXPECT_LE(reportId, expected + (uint64_t{5} << 23));
}

TEST_F(ReportStoreTest, InitialisationPrunesTheOldestReportsAndTheirAttachments) {
    for (uint64_t reportId = 1; reportId <= 5; ++reportId) writeReport("app", reportId);
    fs::create_directories(reports_ / "app-report-0000000000000001-attachments");
    std::ofstream(reports_ / "app-report-0000000000000001-attachments" / "log.txt") << "x";
    setMaxReportCount(3);
    initializeReportStore("app", reports_.c_str());
    uint64_t ids[10];
    ASSERT_EQ(reportIds(ids, 10), 3);
    EXPECT_EQ(ids[0], 3U);
    EXPECT_EQ(ids[2], 5U);
    EXPECT_FALSE(fs::exists(reports_ / "app-report-0000000000000001-attachments"));
}

TEST_F(ReportStoreTest, CountListReadAddAndDelete) {
    initializeReportStore("app", reports_.c_str());
    writeReport("app", 7, R"({"a":1})");
    writeReport("other", 8);
    fs::create_directories(reports_ / "app-report-0000000000000009.json");  // a directory
    std::ofstream(reports_ / "notes.txt") << "x";
    EXPECT_EQ(reportCount(), 1);

    EXPECT_EQ(readReport(7), R"({"a":1})");
    EXPECT_FALSE(readReport(12345));

    const uint64_t added = addUserReport("{\"user\":true}", 13);
    ASSERT_NE(added, 0U);
    EXPECT_EQ(reportCount(), 2);
    deleteReportWithId(7);
    EXPECT_EQ(reportCount(), 1);
    deleteAllReports();
    EXPECT_EQ(reportCount(), 0);
    EXPECT_TRUE(fs::is_directory(reports_));
}

class ReportStoreHostileTest : public ReportStoreTest,
                               public ::testing::WithParamInterface<test::Hostile> {
  protected:
    std::string reportPath(uint64_t reportId) const {
        char name[64];
        std::snprintf(name, sizeof name, "app-report-%016llx.json",
                      static_cast<unsigned long long>(reportId));
        return (reports_ / name).string();
    }
    void TearDown() override {
        EXPECT_EQ(test::TempDirectory::read(outside_), R"({"outside":true})");
        ReportStoreTest::TearDown();
    }
    test::TempDirectory elsewhere_;
    std::string outside_ = elsewhere_.write("report.json", R"({"outside":true})");
};

TEST_P(ReportStoreHostileTest, EntriesUnderReportNamesAreRemovedAndTheReportsAroundThemKept) {
    writeReport("app", 5, R"({"id":5})");
    writeReport("app", 7, R"({"id":7})");
    test::plantHostile(GetParam(), reportPath(1), outside_);
    test::plantHostile(GetParam(), reportPath(6), outside_);
    {
        test::Watchdog watchdog(std::chrono::seconds(10), "initialising the report store");
        initializeReportStore("app", reports_.c_str());
    }
    EXPECT_FALSE(test::entryExists(reportPath(1)));
    EXPECT_FALSE(test::entryExists(reportPath(6)));
    uint64_t ids[10];
    ASSERT_EQ(reportIds(ids, 10), 2);
    EXPECT_EQ(ids[0], 5U);
    EXPECT_EQ(ids[1], 7U);
    EXPECT_EQ(readReport(5), R"({"id":5})");
    EXPECT_EQ(readReport(7), R"({"id":7})");
}

TEST_P(ReportStoreHostileTest, AnEntryThatAppearsAfterTheStartIsNeitherListedNorRead) {
    initializeReportStore("app", reports_.c_str());
    writeReport("app", 5, R"({"id":5})");
    test::plantHostile(GetParam(), reportPath(9), outside_);
    test::Watchdog watchdog(std::chrono::seconds(10), "reading a planted report");
    EXPECT_EQ(reportCount(), 1);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(readReport(9));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_FALSE(test::entryExists(reportPath(9)));
    EXPECT_EQ(readReport(5), R"({"id":5})");
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReportStoreHostileTest,
                         ::testing::ValuesIn(test::allHostileKinds()), test::hostileTestName);

TEST_F(ReportStoreTest, LinkedAttachmentsAreNeitherSentNorEmptiedThroughTheLink) {
    test::TempDirectory elsewhere;
    const std::string secret = elsewhere.write("folder/secret.txt", "secret");
    initializeReportStore("app", reports_.c_str());
    writeReport("app", 3, R"({"report":{"timestamp":1}})");
    writeReport("app", 4, R"({"report":{"timestamp":1}})");
    // Report 3's attachments folder is a link; report 4's holds a linked file.
    fs::create_directory_symlink(elsewhere.file("folder"),
                                 reports_ / "app-report-0000000000000003-attachments");
    const fs::path attachments4 = reports_ / "app-report-0000000000000004-attachments";
    fs::create_directories(attachments4);
    std::ofstream(attachments4 / "log.txt") << "log";
    fs::create_symlink(secret, attachments4 / "linked.txt");

    CrashReporter reporter(directory_.path());
    const auto report3 = reporter.reportWithIntID(3);
    ASSERT_TRUE(report3);
    EXPECT_FALSE(report3->contains("attachments")) << report3->dump();
    const auto report4 = reporter.reportWithIntID(4);
    ASSERT_TRUE(report4);
    EXPECT_EQ((*report4)["attachments"], Json::array({(attachments4 / "log.txt").string()}));

    deleteReportWithId(3);
    deleteReportWithId(4);
    EXPECT_FALSE(test::entryExists((reports_ / "app-report-0000000000000003-attachments")));
    EXPECT_FALSE(test::entryExists(attachments4));
    EXPECT_EQ(test::TempDirectory::read(secret), "secret");
}

TEST(ReportFixer, TheReportTimestampBecomesADateAndEverythingElseStays) {
    const std::string report =
        R"({"report":{"timestamp":0,"id":"x"},"crash":{"timestamp":5,"ratio":0.5,)"
        R"("big":18446744073709551615,"none":null,"list":[1,"two",true]},)"
        R"("recrash_report":{"report":{"timestamp":86400}}})";
    char* fixed = fixupCrashReport(report.c_str());
    ASSERT_NE(fixed, nullptr);
    const auto json = nlohmann::json::parse(fixed);
    std::free(fixed);
    EXPECT_EQ(json["report"]["timestamp"], "1970-01-01T00:00:00Z");
    EXPECT_EQ(json["recrash_report"]["report"]["timestamp"], "1970-01-02T00:00:00Z");
    EXPECT_EQ(json["crash"]["timestamp"], 5);
    auto expected = nlohmann::json::parse(report);
    expected["report"]["timestamp"] = "1970-01-01T00:00:00Z";
    expected["recrash_report"]["report"]["timestamp"] = "1970-01-02T00:00:00Z";
    EXPECT_EQ(json, expected);
}

TEST(ReportFixer, AReportCutShortKeepsItsCompleteParts) {
    char* fixed = fixupCrashReport(R"({"report":{"timestamp":0},"crash":{"error":{"addr)");
    ASSERT_NE(fixed, nullptr);
    const auto json = nlohmann::json::parse(fixed, nullptr, false);
    std::free(fixed);
    ASSERT_FALSE(json.is_discarded());
    EXPECT_EQ(json["report"]["timestamp"], "1970-01-01T00:00:00Z");
    EXPECT_EQ(fixupCrashReport("not json at all"), nullptr);
    EXPECT_EQ(fixupCrashReport(""), nullptr);
}

TEST(CrashFiles, TheBufferedWriterKeepsOrderAcrossFlushes) {
    test::TempDirectory directory;
    const std::string path = directory.path() + "/out.txt";
    BufferedWriter writer;
    char buffer[8];
    ASSERT_TRUE(openBufferedWriter(&writer, path.c_str(), buffer, sizeof buffer));
    ASSERT_TRUE(writeBuffered(&writer, "abc", 3));
    ASSERT_TRUE(writeBuffered(&writer, "0123456789ABCDEF", 16));  // larger than the buffer
    ASSERT_TRUE(writeBuffered(&writer, "xyz", 3));
    closeBufferedWriter(&writer);
    closeBufferedWriter(&writer);
    std::ifstream input(path);
    std::string text((std::istreambuf_iterator<char>(input)), {});
    EXPECT_EQ(text, "abc0123456789ABCDEFxyz");
    EXPECT_FALSE(openBufferedWriter(&writer, (directory.path() + "/no/such/dir/x").c_str(), buffer,
                                    sizeof buffer));
}

TEST(CrashFiles, TheLineReaderCutsLongLinesAndReadsTheLastOne) {
    test::TempDirectory directory;
    const std::string path = directory.path() + "/lines.txt";
    std::ofstream(path) << "short\n" << std::string(50, 'x') << "\n\nlast";
    BufferedReader reader;
    char buffer[16];
    ASSERT_TRUE(openBufferedReader(&reader, path.c_str(), buffer, sizeof buffer));
    char line[10];
    EXPECT_EQ(readLine(&reader, line, sizeof line), 5);
    EXPECT_STREQ(line, "short");
    EXPECT_EQ(readLine(&reader, line, sizeof line), 9);
    EXPECT_STREQ(line, "xxxxxxxxx");
    EXPECT_EQ(readLine(&reader, line, sizeof line), 0);
    EXPECT_EQ(readLine(&reader, line, sizeof line), 4);
    EXPECT_STREQ(line, "last");
    EXPECT_EQ(readLine(&reader, line, sizeof line), -1);
    closeBufferedReader(&reader);
}

TEST(CrashFiles, DirectoriesAreMadeAndEmptiedButNeverDotPaths) {
    test::TempDirectory directory;
    const std::string nested = directory.path() + "/a/b/c";
    ASSERT_TRUE(makeDirectoryWithParents(nested.c_str()));
    ASSERT_TRUE(makeDirectoryWithParents(nested.c_str()));
    std::ofstream(nested + "/file") << "x";
    EXPECT_TRUE(deleteContentsOfPath((directory.path() + "/a").c_str()));
    EXPECT_TRUE(fs::is_directory(directory.path() + "/a"));
    EXPECT_TRUE(fs::is_empty(directory.path() + "/a"));
    EXPECT_FALSE(deleteContentsOfPath("."));
    EXPECT_TRUE(removeFile((directory.path() + "/missing").c_str(), false));
    EXPECT_FALSE(removeFile((directory.path() + "/missing").c_str(), true));
    EXPECT_STREQ(lastPathEntry("/x/y/z.json"), "z.json");
}

}  // namespace
}  // namespace skald::crash
