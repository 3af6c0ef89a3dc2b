// Cost of recording a host's file write as a span: a 4 KiB write through
// writeFileData with tracking on and a transaction bound, next to the same
// bytes written the same way without tracking. The atomic pair is what hosts
// get by default (its fsync dominates); the in-place pair shows the tracking
// cost with little file-system time around it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "core/client.h"
#include "core/debug_image_provider.h"
#include "core/dependency_container.h"
#include "core/thread_inspector.h"
#include "crash/recording/binary_image_cache.h"
#include "integrations/file_io_tracker.h"
#include "persistence/file_manager.h"
#include "skald/file_data.h"
#include "skald/hub.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "skald/span.h"
#include "transport/transport_adapter.h"

namespace {

using namespace skald;
namespace fs = std::filesystem;

/// Transactions go nowhere: sending is not what is measured.
class DiscardingTransport : public Transport {
  public:
    void sendEnvelope(const std::shared_ptr<Envelope>&) override {}
    void recordLostEvent(DataCategory, DiscardReason, uint64_t) override {}
    FlushResult flush(double) override { return FlushResult::Success; }
};

/// A started SDK as a host has it: a current hub with a client, traces
/// sampled, and frames mapped to images as after the crash integration's start.
struct TrackingSetup {
    TrackingSetup() {
        root = fs::temp_directory_path() / ("skald-file-io-bench-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "host");
        options = std::make_shared<Options>();
        options->setDsn("https://0123456789abcdef0123456789abcdef@localhost:9/1");
        options->cacheDirectoryPath = (root / "cache").string();
        options->setTracesSampleRate(1.0);
        auto container = DependencyContainer::sharedInstance();
        container->binaryImageCache()->start();
        auto files = FileManager::make(*options, container->dispatchQueueWrapper());
        auto adapter = std::make_shared<TransportAdapter>(
            std::vector<std::shared_ptr<Transport>>{std::make_shared<DiscardingTransport>()},
            options);
        auto client = std::make_shared<Client>(
            options, adapter, files, false, std::make_shared<ThreadInspector>(*options),
            container->debugImageProvider(), container->random());
        SDK::setCurrentHub(std::make_shared<Hub>(client, std::make_shared<Scope>(100)));
        path = (root / "host" / "data.bin").string();
    }
    ~TrackingSetup() {
        FileIOTracker::shared()->disable();
        SDK::setCurrentHub(nullptr);
        DependencyContainer::sharedInstance()->binaryImageCache()->stop();
        fs::remove_all(root);
    }

    fs::path root;
    std::shared_ptr<Options> options;
    std::string path;
    const std::string bytes = std::string(4096, 'd');
};

/// A transaction takes a bounded number of children: a fresh one now and
/// then keeps every write recorded. Outside the timed part.
constexpr int kWritesPerTransaction = 500;

void runTracked(benchmark::State& state, bool atomically) {
    TrackingSetup setup;
    FileIOTracker::shared()->enable();
    auto transaction = SDK::currentHub()->startTransaction("bench", "file.bench", true);
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(writeFileData(setup.bytes, setup.path, atomically));
        if (++n % kWritesPerTransaction == 0) {
            state.PauseTiming();
            transaction->finish();
            transaction = SDK::currentHub()->startTransaction("bench", "file.bench", true);
            state.ResumeTiming();
        }
    }
    transaction->finish();
}

void runUntracked(benchmark::State& state, bool atomically) {
    TrackingSetup setup;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            file_data_detail::writeUntracked(setup.bytes, setup.path, atomically));
    }
}

void BM_AtomicWriteTracked(benchmark::State& state) {
    runTracked(state, true);
}
void BM_AtomicWritePlain(benchmark::State& state) {
    runUntracked(state, true);
}
void BM_InPlaceWriteTracked(benchmark::State& state) {
    runTracked(state, false);
}
void BM_InPlaceWritePlain(benchmark::State& state) {
    runUntracked(state, false);
}

BENCHMARK(BM_AtomicWriteTracked)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AtomicWritePlain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InPlaceWriteTracked)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InPlaceWritePlain)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
