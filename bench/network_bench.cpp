// What request tracking adds to one request: a loopback GET through a URL
// session with tracking off, and with spans, trace headers and breadcrumbs on
// inside a transaction.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "bench_support.h"
#include "core/client.h"
#include "core/debug_image_provider.h"
#include "core/dependency_container.h"
#include "core/thread_inspector.h"
#include "integrations/network_tracker.h"
#include "skald/hub.h"
#include "skald/platform/url_session.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "transport/transport.h"
#include "transport/transport_adapter.h"
#include "util/dispatch_queue_wrapper.h"

namespace {

using namespace skald;
using bench::DroppingQueue;
using bench::NullTransport;

struct Loopback {
    Loopback() {
        server.Get("/item", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("{\"id\":1}", "application/json");
        });
        // Without it the response waits on the peer's delayed acknowledgement.
        server.set_tcp_nodelay(true);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();
    }
    ~Loopback() {
        server.stop();
        thread.join();
    }
    httplib::Server server;
    std::thread thread;
    int port = 0;
};

void fetch(platform::UrlSession& session, const std::string& url) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    auto task = session.dataTask(platform::UrlRequest(url), [&](auto, auto, auto) {
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_one();
    });
    task->resume();
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
}

void BM_LoopbackRequest(benchmark::State& state) {
    const bool tracking = state.range(0) != 0;
    Loopback loopback;
    const std::string url = "http://127.0.0.1:" + std::to_string(loopback.port) + "/item";

    auto options = std::make_shared<Options>();
    options->setDsn("https://0123456789abcdef0123456789abcdef@localhost:9/1");
    options->cacheDirectoryPath = (std::filesystem::temp_directory_path() /
                                   ("skald-network-bench-" + std::to_string(::getpid())))
                                      .string();
    options->setTracesSampleRate(1.0);
    options->maxBreadcrumbs = 100;
    auto hub = bench::hubWithoutSending(options, std::make_shared<DroppingQueue>());
    SDK::setCurrentHub(hub);

    auto tracker = NetworkTracker::shared();
    tracker->disable();
    if (tracking) {
        tracker->enableNetworkTracking();
        tracker->enableNetworkBreadcrumbs();
        tracker->enableCaptureFailedRequests();
    }
    tracker->install();
    auto session =
        platform::UrlSession::make(platform::UrlSessionConfiguration::ephemeralConfiguration());
    fetch(*session, url);  // the connection and the engine's thread are set up once

    auto transaction = hub->startTransaction("bench", "task", true);
    size_t underThisTransaction = 0;
    for (auto _ : state) {
        fetch(*session, url);
        if (++underThisTransaction == 500) {
            state.PauseTiming();
            transaction->finish();
            transaction = hub->startTransaction("bench", "task", true);
            underThisTransaction = 0;
            state.ResumeTiming();
        }
    }
    transaction->finish();
    tracker->disable();
    session->invalidateAndCancel();
    SDK::setCurrentHub(nullptr);
    state.SetLabel(tracking ? "tracking on" : "tracking off");
}
BENCHMARK(BM_LoopbackRequest)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// The same request with libcurl alone, as a yardstick for the session itself.
void BM_LoopbackRequestWithCurlAlone(benchmark::State& state) {
    Loopback loopback;
    const std::string url = "http://127.0.0.1:" + std::to_string(loopback.port) + "/item";
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    for (auto _ : state) curl_easy_perform(curl);
    curl_easy_cleanup(curl);
}
BENCHMARK(BM_LoopbackRequestWithCurlAlone)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
