// skald-download-service as a process: its URL rules, the files it serves,
// its test hooks, and what it serves going through the installer's tools.
#include <gtest/gtest.h>
#include <httplib.h>

#include <future>

#include "installer_tools_support.h"
#include "skald/platform/property_list.h"
#include "skald/platform/url_session.h"
#include "skald/platform/workspace.h"
#include "support/eventually.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;
using platform::Task;

constexpr const char* kQuery = "/download?v2=true&platform=mac&arch=x64";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// Downloads `url` with a download task, following redirects.
struct Downloaded {
    std::optional<Error> error;
    std::string responseUrl;
    std::string savedAs;
};
Downloaded download(const std::string& url, const fs::path& saveTo) {
    auto session =
        platform::UrlSession::make(platform::UrlSessionConfiguration::ephemeralConfiguration());
    std::promise<Downloaded> done;
    auto task = session->downloadTask(
        platform::UrlRequest(url),
        [&](std::string location, std::optional<platform::HttpResponse> response,
            std::optional<Error> error) {
            Downloaded result;
            result.error = std::move(error);
            if (response) result.responseUrl = response->url;
            if (!location.empty()) {
                fs::rename(location, saveTo);
                result.savedAs = saveTo.string();
            }
            done.set_value(result);
        });
    task->resume();
    auto future = done.get_future();
    if (future.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "the download did not end";
        return {};
    }
    return future.get();
}

TEST(DownloadServiceTest, TheQueryDecidesWhichBuildIsServedOrWhyNot) {
    ScratchDirectory scratch;
    DownloadServiceProcess service({"--format", "zip", "--version", "1.0.0", "--build",
                                    "beta=1.1.0-beta.1", "--data-dir", (scratch / "data").string(),
                                    "--app", builtApp()});
    httplib::Client client("127.0.0.1", service.port());

    auto answer = client.Get(kQuery);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 302);
    EXPECT_EQ(answer->get_header_value("Location"), "/files/Vantorel-1.0.0.zip");

    answer = client.Get(std::string(kQuery) + "&build=beta");
    EXPECT_EQ(answer->get_header_value("Location"), "/files/Vantorel-1.1.0-beta.1.zip");
    answer = client.Get("/download?v2=true&platform=mac&arch=arm64&build=");
    EXPECT_EQ(answer->get_header_value("Location"), "/files/Vantorel-1.0.0.zip")
        << "an empty build is the default one";

    const std::vector<std::pair<std::string, int>> refused{
        {std::string(kQuery) + "&build=nightly", 404},
        {std::string(kQuery) + "&build=BETA", 404},
        {"/download?v2=true&platform=windows&arch=x64", 404},
        {"/download?v2=true&platform=mac&arch=ppc", 404},
        {"/download?v2=true&platform=mac", 404},
        {"/download?platform=mac&arch=x64", 400},
        {"/download?v2=false&platform=mac&arch=x64", 400},
    };
    for (const auto& [path, status] : refused) {
        answer = client.Get(path.c_str());
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, status) << path;
        EXPECT_FALSE(answer->has_header("Location")) << path;
        EXPECT_FALSE(answer->body.empty()) << "says why: " << path;
    }
    EXPECT_NE(client.Get((std::string(kQuery) + "&build=nightly").c_str())->body.find("nightly"),
              std::string::npos);
    EXPECT_EQ(client.Get("/files/Vantorel-9.zip")->status, 404);
    EXPECT_EQ(client.Get("/files/..%2F..%2Fetc%2Fpasswd")->status, 404);
    EXPECT_EQ(service.stop(), 0) << "stops cleanly on SIGTERM";
}

TEST(DownloadServiceTest, ServesEachBuildsArchiveWithItsVersionAndLength) {
    ScratchDirectory scratch;
    DownloadServiceProcess service({"--format", "zip", "--build", "beta=1.1.0", "--data-dir",
                                    (scratch / "data").string(), "--app", builtApp()});
    httplib::Client client("127.0.0.1", service.port());
    auto answer = client.Get("/files/Vantorel-1.1.0.zip");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->get_header_value("Content-Type"), "application/zip");
    const fs::path file = scratch / "data" / "files" / "Vantorel-1.1.0.zip";
    EXPECT_EQ(answer->get_header_value("Content-Length"), std::to_string(fs::file_size(file)));
    EXPECT_TRUE(answer->body == readFile(file));

    // The archive holds the bundle with the build's version in its Info.plist.
    std::ofstream(scratch / "got.zip", std::ios::binary) << answer->body;
    const auto info = Task::run("/usr/bin/unzip", {"-p", (scratch / "got.zip").string(),
                                                   "Vantorel.app/Contents/Info.plist"});
    const auto plist = platform::parsePropertyList(info.standardOutput);
    ASSERT_TRUE(plist) << info.standardError;
    EXPECT_EQ((*plist)["CFBundleShortVersionString"], "1.1.0");
    EXPECT_EQ((*plist)["CFBundleIdentifier"], "com.vantorel.tidewheel");
    EXPECT_EQ((*plist)["CFBundleExecutable"], "Vantorel");
}

TEST(DownloadServiceTest, AServedDiskImageGoesThroughTheInstallersTools) {
    ScratchDirectory scratch;
    DownloadServiceProcess service({"--format", "dmg", "--payload-mib", "3", "--app", builtApp()});

    // Download as the installer does: the response URL after the redirect names the type.
    const auto got = download(service.url(kQuery), scratch / "Vantorel.dmg");
    ASSERT_FALSE(got.error) << got.error->description();
    EXPECT_EQ(fs::path(got.responseUrl).extension(), ".dmg");
    EXPECT_GT(fs::file_size(got.savedAs), 3u * 1024 * 1024) << "the payload is in it";

    // Mount it.
    const auto attached = Task::run(builtTool("skald-hdiutil"), {"attach", got.savedAs, "-plist"});
    ASSERT_TRUE(attached.succeeded()) << attached.standardError;
    const auto plist = platform::parsePropertyList(attached.standardOutput);
    ASSERT_TRUE(plist);
    const std::string mount = (*plist)["system-entities"][1]["mount-point"];
    const fs::path app = fs::path(mount) / "Vantorel.app";
    EXPECT_EQ(fs::file_size(app / "Contents" / "Resources" / "payload.bin"), 3u * 1024 * 1024);

    // Launch it.
    const auto opened = Task::run(builtTool("skald-open"), {"-a", app.string()},
                                  environmentWith({{"XDG_DATA_HOME", (scratch / "data").string()},
                                                   {"VANTOREL_APP_LIFETIME", "1"}}));
    ASSERT_TRUE(opened.succeeded()) << opened.standardError;
    EXPECT_TRUE(eventually([&] { return fs::exists(scratch / "data" / "Vantorel" / "launched"); }));
    EXPECT_TRUE(Task::run(builtTool("skald-hdiutil"), {"detach", mount}).succeeded());
}

TEST(DownloadServiceTest, TestHooksBreakTheDownloadInTheWaysAsked) {
    ScratchDirectory scratch;
    {
        // The first download hangs up halfway: an error, no file; the next one works.
        DownloadServiceProcess dropping(
            {"--format", "zip", "--drop-first", "1", "--payload-mib", "2", "--app", builtApp()});
        const auto first = download(dropping.url(kQuery), scratch / "first.zip");
        ASSERT_TRUE(first.error);
        EXPECT_EQ(first.error->code, platform::kUrlErrorNetworkConnectionLost);
        EXPECT_TRUE(first.savedAs.empty());
        const auto second = download(dropping.url(kQuery), scratch / "second.zip");
        EXPECT_FALSE(second.error);
        EXPECT_GT(fs::file_size(scratch / "second.zip"), 2u * 1024 * 1024);
    }
    {
        DownloadServiceProcess text({"--serve-non-archive", "--app", builtApp()});
        const auto got = download(text.url(kQuery), scratch / "text.dmg");
        ASSERT_FALSE(got.error);
        const auto attached =
            Task::run(builtTool("skald-hdiutil"), {"attach", got.savedAs, "-plist"});
        EXPECT_NE(attached.status, 0);
        EXPECT_EQ(attached.standardOutput, "");
    }
    {
        DownloadServiceProcess empty({"--serve-no-app", "--format", "zip", "--app", builtApp()});
        const auto got = download(empty.url(kQuery), scratch / "empty.zip");
        ASSERT_FALSE(got.error);
        const auto listed = Task::run("/usr/bin/unzip", {"-Z1", got.savedAs});
        EXPECT_EQ(listed.standardOutput, "README.txt\n");
    }
    // Without a bundle to serve the service says so and does not start.
    const auto refused = Task::run(builtTool("skald-download-service"),
                                   {"--app", (scratch / "nothing.app").string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.standardError.find("no application bundle"), std::string::npos);
    EXPECT_EQ(Task::run(builtTool("skald-download-service"), {"--format", "rar"}).status, 1);
}

}  // namespace
}  // namespace skald::test
