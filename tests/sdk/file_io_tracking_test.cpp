// Whole-file helpers for hosts and their "file.read" / "file.write" spans:
// what is recorded, what never is, and hostile paths that must not block.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "core/dependency_container.h"
#include "crash/recording/binary_image_cache.h"
#include "integrations/file_io_tracker.h"
#include "integrations/file_io_tracking_integration.h"
#include "platform/base/percent.h"
#include "sdk/sdk_fixture.h"
#include "skald/file_data.h"
#include "skald/span.h"
#include "util/byte_count_formatter.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class FileIOTrackingTest : public CurrentHubFixture {
  protected:
    void SetUp() override {
        CurrentHubFixture::SetUp();
        options->setTracesSampleRate(1.0);
        // Frames get their images from the cache, as after the crash
        // integration's start: the main-thread stack is kept by image.
        DependencyContainer::sharedInstance()->binaryImageCache()->start();
        FileIOTracker::shared()->disable();
        ASSERT_TRUE(integration.installWithOptions(*options));
        dir = root / "host";
        fs::create_directories(dir);
    }
    void TearDown() override {
        integration.uninstall();
        DependencyContainer::sharedInstance()->binaryImageCache()->stop();
        CurrentHubFixture::TearDown();
    }

    std::string pathOf(const std::string& name) const { return (dir / name).string(); }

    void bindTransaction() { transaction = hub->startTransaction("load", "ui.load", true); }

    /// Finishes the bound transaction and gives its spans once it is sent.
    Json sentSpans() {
        transaction->finish();
        const auto end = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < end) {
            for (const auto& envelope : transport->envelopes()) {
                Json item = itemJson(*envelope, "transaction");
                if (!item.is_null()) return item.value("spans", Json::array());
            }
            std::this_thread::sleep_for(5ms);
        }
        ADD_FAILURE() << "no transaction was sent";
        return Json::array();
    }

    FileIOTrackingIntegration integration;
    fs::path dir;
    std::shared_ptr<Span> transaction;
};

TEST_F(FileIOTrackingTest, WriteIsRecordedWithSizePathAndMainThreadStack) {
    bindTransaction();
    const std::string path = pathOf("data.bin");
    ASSERT_TRUE(writeFileData(std::string(2048, 'x'), path));
    EXPECT_EQ(fs::file_size(path), 2048u);

    const Json spans = sentSpans();
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0]["op"], "file.write");
    EXPECT_EQ(spans[0]["origin"], "auto.file.ns_data");
    EXPECT_EQ(spans[0]["description"], "data.bin (2 KB)");
    EXPECT_EQ(spans[0]["status"], "ok");
    EXPECT_EQ(spans[0]["data"]["file.path"], path);
    EXPECT_EQ(spans[0]["data"]["file.size"], 2048);
    EXPECT_EQ(spans[0]["data"]["blocked_main_thread"], true);
    EXPECT_FALSE(spans[0]["data"].value("call_stack", Json::array()).empty());
}

TEST_F(FileIOTrackingTest, FailedWriteKeepsTheTriedSizeAndIsAnInternalError) {
    bindTransaction();
    EXPECT_FALSE(writeFileData("abc", pathOf("missing-folder/a.txt")));
    EXPECT_FALSE(writeFileData("abc", pathOf("missing-folder/b.txt"), false));

    const Json spans = sentSpans();
    ASSERT_EQ(spans.size(), 2u);
    for (const auto& span : spans) {
        EXPECT_EQ(span["status"], "internal_error");
        EXPECT_EQ(span["data"]["file.size"], 3);
    }
    EXPECT_EQ(spans[0]["description"], "a.txt (3 bytes)");
}

TEST_F(FileIOTrackingTest, ReadsAreRecordedOnceAndFailuresWithSizeZero) {
    const std::string path = pathOf("a b.txt");
    ASSERT_TRUE(writeFileData("hello", path, false));
    bindTransaction();

    const std::string url = "file://" + platform::percentEncode(path, "/._-");
    EXPECT_EQ(readFileDataFromUrl(url), "hello");
    EXPECT_EQ(readFileData(pathOf("nothing.txt")), std::nullopt);

    const Json spans = sentSpans();
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0]["op"], "file.read");
    EXPECT_EQ(spans[0]["description"], "a b.txt");
    EXPECT_EQ(spans[0]["data"]["file.path"], path);
    EXPECT_EQ(spans[0]["data"]["file.size"], 5);
    EXPECT_EQ(spans[1]["description"], "nothing.txt");
    EXPECT_EQ(spans[1]["data"]["file.size"], 0);
}

TEST_F(FileIOTrackingTest, OnlyLocalFileUrlsAreRead) {
    const std::string path = pathOf("u.txt");
    ASSERT_TRUE(writeFileData("u", path));
    EXPECT_EQ(readFileDataFromUrl("FILE://localhost" + path), "u");
    EXPECT_EQ(readFileDataFromUrl("file://elsewhere" + path), std::nullopt);
    EXPECT_EQ(readFileDataFromUrl("http://localhost" + path), std::nullopt);
    EXPECT_EQ(readFileDataFromUrl(path), std::nullopt);
    EXPECT_EQ(readFileDataFromUrl("file://" + path + "%00.txt"), std::nullopt);
}

TEST_F(FileIOTrackingTest, TheSdksOwnFilesAreNeverRecorded) {
    bindTransaction();
    const std::string base = client->fileManager()->basePath();
    ASSERT_TRUE(writeFileData("own", base + "/own.json"));
    EXPECT_EQ(readFileData(base + "/../io.skald/own.json"), "own");
    // A sibling whose name merely starts the same is the host's.
    fs::create_directories(base + "-host");
    ASSERT_TRUE(writeFileData("host", base + "-host/host.json"));

    const Json spans = sentSpans();
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0]["description"], "host.json (4 bytes)");
}

TEST_F(FileIOTrackingTest, WithoutBoundSpanOrWhenDisabledTheHelpersStillWork) {
    const std::string path = pathOf("plain.txt");
    ASSERT_TRUE(writeFileData("one", path));
    EXPECT_EQ(readFileData(path), "one");
    EXPECT_EQ(FileIOTracker::shared()->spanForPath(path, "file.read", 0), nullptr);

    bindTransaction();
    integration.uninstall();
    ASSERT_TRUE(writeFileData("two", path));
    EXPECT_EQ(readFileData(path), "two");
    EXPECT_EQ(sentSpans().size(), 0u);
}

TEST_F(FileIOTrackingTest, IntegrationNeedsEveryTracingOption) {
    integration.uninstall();
    for (bool Options::*flag : {&Options::enableAutoPerformanceTracing,
                                &Options::enableFileIOTracing, &Options::enableSwizzling}) {
        Options off = *options;
        off.*flag = false;
        EXPECT_FALSE(FileIOTrackingIntegration().installWithOptions(off));
    }
    Options untraced = *options;
    untraced.setTracesSampleRate(std::nullopt);
    EXPECT_FALSE(FileIOTrackingIntegration().installWithOptions(untraced));
    EXPECT_FALSE(FileIOTracker::shared()->isEnabled());
}

TEST_F(FileIOTrackingTest, OffTheMainThreadNoStackIsKept) {
    bindTransaction();
    std::thread([&] { writeFileData("bg", pathOf("bg.txt")); }).join();
    const Json spans = sentSpans();
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0]["data"]["blocked_main_thread"], false);
    EXPECT_FALSE(spans[0]["data"].contains("call_stack"));
}

TEST_F(FileIOTrackingTest, HostilePathsAreRefusedWithoutBlocking) {
    const std::string fifo = pathOf("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto attempt = std::async(std::launch::async, [&] {
        const bool refused = !readFileData(fifo) && !writeFileData("x", fifo, false) &&
                             !writeFileData("x", fifo, true);
        return refused;
    });
    if (attempt.wait_for(5s) != std::future_status::ready) {
        // Release whatever waits for the other end, then fail.
        ::close(::open(fifo.c_str(), O_RDWR | O_NONBLOCK));
        FAIL() << "a helper blocked on a FIFO";
    }
    EXPECT_TRUE(attempt.get());
    struct stat info {};
    ASSERT_EQ(::lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));

    EXPECT_EQ(readFileData(dir.string()), std::nullopt);
    EXPECT_FALSE(writeFileData("x", dir.string()));
    EXPECT_EQ(readFileData(std::string("a\0b", 3)), std::nullopt);
    EXPECT_FALSE(writeFileData("x", ""));

    // Past the size cap without reading a byte: the file is sparse.
    const std::string huge = pathOf("huge.bin");
    std::ofstream(huge).close();
    ASSERT_EQ(::truncate(huge.c_str(), (off_t{1} << 30) + 1), 0);
    EXPECT_EQ(readFileData(huge), std::nullopt);
}

TEST_F(FileIOTrackingTest, AtomicWritesKeepLinksAndPermissions) {
    const std::string target = pathOf("target.txt");
    const std::string link = pathOf("link.txt");
    ASSERT_TRUE(writeFileData("old", target));
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    fs::create_symlink(target, link);

    ASSERT_TRUE(writeFileData("new", link));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFileData(target), "new");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

TEST(ByteCountDescriptionTest, UnitsStepAt1024AndRoundDown) {
    EXPECT_EQ(byteCountDescription(0), "0 bytes");
    EXPECT_EQ(byteCountDescription(500), "500 bytes");
    EXPECT_EQ(byteCountDescription(1023), "1,023 bytes");
    EXPECT_EQ(byteCountDescription(1024), "1 KB");
    EXPECT_EQ(byteCountDescription(1536), "1 KB");
    EXPECT_EQ(byteCountDescription(2048), "2 KB");
    EXPECT_EQ(byteCountDescription(1048575), "1,023 KB");
    EXPECT_EQ(byteCountDescription(1048576), "1 MB");
    EXPECT_EQ(byteCountDescription(uint64_t{5} << 30), "5 GB");
    EXPECT_EQ(byteCountDescription(uint64_t{2048} << 30), "2,048 GB");
    EXPECT_EQ(byteCountDescription(UINT64_MAX), "17,179,869,183 GB");
}

}  // namespace
}  // namespace skald::test
