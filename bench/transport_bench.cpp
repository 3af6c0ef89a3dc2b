// Stores and sends envelopes of 10 KiB to the local receiver over loopback.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "core/dependency_container.h"
#include "persistence/file_manager.h"
#include "skald/platform/url_session.h"
#include "skald/envelope.h"
#include "skald/event.h"
#include "skald/options.h"
#include "tools/receiver/receiver.h"
#include "transport/http_transport.h"
#include "transport/rate_limits.h"
#include "transport/request_builder.h"
#include "transport/request_manager.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"

namespace {

using namespace skald;

void BM_StoreAndSend100Envelopes(benchmark::State& state) {
    tools::ReceiverConfig config;
    config.port = 0;
    config.output = [](const std::string&) {};
    tools::Receiver receiver(config);
    if (!receiver.start()) {
        state.SkipWithError("receiver did not start");
        return;
    }
    const auto cache = std::filesystem::temp_directory_path() /
                       ("skald-transport-bench-" + std::to_string(::getpid()));
    auto options = std::make_shared<Options>();
    options->setDsn("http://public@127.0.0.1:" + std::to_string(receiver.port()) + "/1");
    options->cacheDirectoryPath = cache.string();
    options->maxCacheItems = 1000;
    auto clock = std::make_shared<DefaultCurrentDateProvider>();

    std::vector<std::shared_ptr<Envelope>> envelopes;
    for (int i = 0; i < 100; ++i) {
        Event event(Level::Error);
        event.extra = Json::object({{"padding", std::string(10 * 1024, 'x')}});
        envelopes.push_back(Envelope::forEvent(event));
    }

    size_t sent = 0;
    for (auto _ : state) {
        auto fileManager = FileManager::make(
            *options, DependencyContainer::sharedInstance()->dispatchQueueWrapper());
        auto rateLimits = std::make_shared<DefaultRateLimits>(
            RetryAfterHeaderParser(HttpDateParser(), clock), RateLimitParser(clock), clock);
        auto session =
            platform::UrlSession::make(platform::UrlSessionConfiguration::ephemeralConfiguration());
        // No pause between envelopes for this measurement.
        auto transport = HttpTransport::make(
            {options, 0, fileManager, std::make_shared<QueueableRequestManager>(session),
             std::make_shared<RequestBuilder>(), rateLimits,
             std::make_shared<EnvelopeRateLimit>(rateLimits),
             std::make_shared<DispatchQueueWrapper>("skald-http-transport"), clock, nullptr});
        for (const auto& envelope : envelopes) transport->sendEnvelope(envelope);
        sent += 100;
        if (!receiver.waitForEnvelopes(sent, std::chrono::seconds(60))) {
            state.SkipWithError("not every envelope arrived");
            break;
        }
    }
    receiver.stop();
    std::filesystem::remove_all(cache);
}
BENCHMARK(BM_StoreAndSend100Envelopes)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
