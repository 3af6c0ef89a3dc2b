// Cost of the SDK's hot paths: a breadcrumb on a full ring, and a message with
// 100 breadcrumbs from capture until its envelope is stored (no network), next
// to serializing the same event alone and writing the same bytes to a file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "core/client.h"
#include "core/debug_image_provider.h"
#include "core/dependency_container.h"
#include "skald/hub.h"
#include "core/thread_inspector.h"
#include "skald/serialization.h"
#include "persistence/file_manager.h"
#include "skald/breadcrumb.h"
#include "skald/message.h"
#include "skald/scope.h"
#include "skald/user.h"
#include "transport/transport_adapter.h"
#include "util/file_io.h"
#include "util/random.h"

namespace {

using namespace skald;
namespace fs = std::filesystem;

std::shared_ptr<Breadcrumb> makeCrumb(int i) {
    auto crumb = std::make_shared<Breadcrumb>(Level::Info, "ui.click");
    crumb->message = "Pressed button " + std::to_string(i);
    crumb->data = Json{{"screen", "settings"}, {"index", i}};
    return crumb;
}

void BM_AddBreadcrumbOnFullRing(benchmark::State& state) {
    Scope scope(100);
    for (int i = 0; i < 100; ++i) scope.addBreadcrumb(makeCrumb(i));
    auto crumb = makeCrumb(1000);
    for (auto _ : state) scope.addBreadcrumb(crumb);
}
BENCHMARK(BM_AddBreadcrumbOnFullRing);

/// Stores each envelope, as the HTTP transport does before it sends.
class StoringTransport : public Transport {
  public:
    explicit StoringTransport(std::shared_ptr<FileManager> files) : files_(std::move(files)) {}
    void sendEnvelope(const std::shared_ptr<Envelope>& envelope) override {
        lastPath = files_->storeEnvelope(*envelope);
    }
    void recordLostEvent(DataCategory, DiscardReason, uint64_t) override {}
    FlushResult flush(double) override { return FlushResult::Success; }
    std::string lastPath;

  private:
    std::shared_ptr<FileManager> files_;
};

struct CaptureSetup {
    CaptureSetup() {
        root = fs::temp_directory_path() / ("skald-sdk-bench-" + std::to_string(::getpid()));
        fs::remove_all(root);
        options = std::make_shared<Options>();
        options->setDsn("https://0123456789abcdef0123456789abcdef@localhost:9/1");
        options->cacheDirectoryPath = root.string();
        options->releaseName = "bench@1.0";
        options->maxCacheItems = 1000000;
        files = FileManager::make(*options,
                                  DependencyContainer::sharedInstance()->dispatchQueueWrapper());
        transport = std::make_shared<StoringTransport>(files);
        auto adapter = std::make_shared<TransportAdapter>(
            std::vector<std::shared_ptr<Transport>>{transport}, options);
        client = std::make_shared<Client>(
            options, adapter, files, false, std::make_shared<ThreadInspector>(*options),
            DependencyContainer::sharedInstance()->debugImageProvider(),
            DependencyContainer::sharedInstance()->random());
        scope = std::make_shared<Scope>(100);
        for (int i = 0; i < 100; ++i) scope->addBreadcrumb(makeCrumb(i));
        scope->setTagValue("settings", "screen");
        scope->setUser(std::make_shared<User>("user-42"));
    }
    ~CaptureSetup() { fs::remove_all(root); }

    void clearStored() {
        for (const auto& file : files->allFilesInFolder(files->envelopesPath()))
            ::unlink(file.c_str());
    }

    fs::path root;
    std::shared_ptr<Options> options;
    std::shared_ptr<FileManager> files;
    std::shared_ptr<StoringTransport> transport;
    std::shared_ptr<Client> client;
    std::shared_ptr<Scope> scope;
};

void BM_CaptureMessageUntilStored(benchmark::State& state) {
    CaptureSetup setup;
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(setup.client->captureMessage("Settings saved", setup.scope));
        if (++n % 256 == 0) {
            state.PauseTiming();
            setup.clearStored();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_CaptureMessageUntilStored)->Unit(benchmark::kMicrosecond);

// The prepared event and its envelope bytes, made once through the real pipeline.
struct PreparedEvent {
    CaptureSetup setup;
    std::shared_ptr<Event> event;
    std::string bytes;
    PreparedEvent() {
        auto message = std::make_shared<Event>(Level::Info);
        message->message = std::make_shared<Message>("Settings saved");
        event = setup.client->prepareEvent(message, setup.scope, false);
        bytes = *Serialization::dataWithEnvelope(*Envelope::forEvent(*event));
    }
};

void BM_SerializeSameEventOnly(benchmark::State& state) {
    PreparedEvent prepared;
    for (auto _ : state) {
        auto json = prepared.event->serialize();
        benchmark::DoNotOptimize(json.dump());
    }
    state.counters["bytes"] = static_cast<double>(prepared.bytes.size());
}
BENCHMARK(BM_SerializeSameEventOnly)->Unit(benchmark::kMicrosecond);

// A new file each time in a folder cleared as the capture benchmark clears
// its own: the same file-system work as storing an envelope.
void BM_WriteSameBytesAtomically(benchmark::State& state) {
    PreparedEvent prepared;
    const fs::path folder = prepared.setup.root / "same-bytes";
    fs::create_directories(folder);
    int n = 0;
    for (auto _ : state) {
        writeFileAtomically((folder / (std::to_string(n) + ".envelope")).string(), prepared.bytes);
        if (++n % 256 == 0) {
            state.PauseTiming();
            for (const auto& entry : fs::directory_iterator(folder)) fs::remove(entry.path());
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_WriteSameBytesAtomically)->Unit(benchmark::kMicrosecond);

void BM_WriteSameBytesNoSync(benchmark::State& state) {
    PreparedEvent prepared;
    const auto path = (prepared.setup.root / "same-bytes.raw").string();
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        benchmark::DoNotOptimize(::write(fd, prepared.bytes.data(), prepared.bytes.size()));
        ::close(fd);
    }
}
BENCHMARK(BM_WriteSameBytesNoSync)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
