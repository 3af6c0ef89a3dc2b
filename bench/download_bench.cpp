// The installer's download (a URL-session download task to a temporary file,
// progress on its delegate queue) against `curl -o` of the same 200 MiB file,
// both from the local download service on loopback.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "skald/platform/operation_queue.h"
#include "skald/platform/url_session.h"
#include "skald/platform/task.h"
#include "tools/download_service/download_service.h"

namespace {

using namespace skald;

struct Service {
    Service() {
        tools::DownloadServiceConfig config;
        config.appBundle = VANTOREL_DEMO_APP_DIR;
        config.format = "zip";
        config.payloadMiB = 200;
        service = std::make_unique<tools::DownloadService>(config);
        if (auto error = service->start()) std::abort();
        url = service->baseUrl() + "/download?v2=true&platform=mac&arch=x64";
    }
    std::unique_ptr<tools::DownloadService> service;
    std::string url;
};

Service& service() {
    static Service instance;
    return instance;
}

/// Waits for the end of one download; counts the bytes it was told about.
class WaitingDelegate : public platform::UrlSessionDelegate {
  public:
    void didWriteData(platform::UrlSession&, platform::UrlSessionDownloadTask&, int64_t,
                      int64_t total, int64_t) override {
        written = total;
    }
    void didFinishDownloadingToUrl(platform::UrlSession&, platform::UrlSessionDownloadTask&,
                                   const std::string& location) override {
        size = std::filesystem::file_size(location);
    }
    void didCompleteWithError(platform::UrlSession&, platform::UrlSessionTask&,
                              const std::optional<Error>& error) override {
        std::lock_guard guard(mutex);
        failed = error.has_value();
        done = true;
        changed.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done; });
        done = false;
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool failed = false;
    int64_t written = 0;
    uintmax_t size = 0;
};

void BM_InstallerDownload(benchmark::State& state) {
    auto& s = service();
    auto delegate = std::make_shared<WaitingDelegate>();
    auto queue = platform::OperationQueue::make("bench-delegate", 1);
    auto session = platform::UrlSession::make(
        platform::UrlSessionConfiguration::defaultConfiguration(), delegate, queue);
    for (auto _ : state) {
        session->downloadTaskWithUrl(s.url)->resume();
        delegate->wait();
        if (delegate->failed) state.SkipWithError("download failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * delegate->size));
    state.counters["MiB"] = static_cast<double>(delegate->size) / (1024 * 1024);
}
BENCHMARK(BM_InstallerDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CurlDownload(benchmark::State& state) {
    auto& s = service();
    const auto target = std::filesystem::temp_directory_path() / "skald-bench-curl.zip";
    for (auto _ : state) {
        auto result = platform::Task::run("/usr/bin/curl", {"-sSL", "-o", target.string(), s.url});
        if (!result.succeeded()) state.SkipWithError("curl failed");
    }
    const auto size = std::filesystem::file_size(target);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.counters["MiB"] = static_cast<double>(size) / (1024 * 1024);
    std::filesystem::remove(target);
}
BENCHMARK(BM_CurlDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
