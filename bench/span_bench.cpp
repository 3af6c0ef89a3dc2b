// What tracing costs the thread that traces: a child span's start and finish
// (with the heap allocations it makes), and a whole transaction's start and
// finish, unsampled and sampled, without the send.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "bench_support.h"
#include "core/client.h"
#include "core/debug_image_provider.h"
#include "core/dependency_container.h"
#include "core/thread_inspector.h"
#include "core/tracing/tracer.h"
#include "skald/hub.h"
#include "skald/scope.h"
#include "transport/transport.h"
#include "transport/transport_adapter.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/random.h"

namespace {

std::atomic<uint64_t> gAllocations{0};

}  // namespace

// Every heap allocation of the process is counted. The replacements pair
// malloc with free themselves, which the compiler cannot see at call sites.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

using namespace skald;
using bench::DroppingQueue;
using bench::NullTransport;

struct TracingSetup {
    explicit TracingSetup(double sampleRate) {
        options = std::make_shared<Options>();
        options->setDsn("https://0123456789abcdef0123456789abcdef@localhost:9/1");
        options->cacheDirectoryPath = (std::filesystem::temp_directory_path() /
                                       ("skald-span-bench-" + std::to_string(::getpid())))
                                          .string();
        options->setTracesSampleRate(sampleRate);
        auto adapter = std::make_shared<TransportAdapter>(
            std::vector<std::shared_ptr<Transport>>{std::make_shared<NullTransport>()}, options);
        auto client = std::make_shared<Client>(
            options, adapter, nullptr, false, std::make_shared<ThreadInspector>(*options),
            DependencyContainer::sharedInstance()->debugImageProvider(),
            DependencyContainer::sharedInstance()->random());
        hub = std::make_shared<Hub>(client, std::make_shared<Scope>(100),
                                    DependencyContainer::sharedInstance()->crashWrapper(),
                                    std::make_shared<DroppingQueue>());
    }
    ~TracingSetup() { std::filesystem::remove_all(options->cacheDirectoryPath); }

    std::shared_ptr<Options> options;
    std::shared_ptr<Hub> hub;
};

void BM_ChildSpanStartFinish(benchmark::State& state) {
    TracingSetup setup(1.0);
    auto tracer = setup.hub->startTransaction("bench", "task");
    uint64_t allocations = 0;
    uint64_t spans = 0;
    size_t underThisTracer = 0;
    for (auto _ : state) {
        const uint64_t before = gAllocations.load(std::memory_order_relaxed);
        auto child = tracer->startChild("db.query", std::nullopt);
        child->finish();
        allocations += gAllocations.load(std::memory_order_relaxed) - before;
        ++spans;
        // A transaction holds at most its limit of children: start another.
        if (++underThisTracer == Tracer::kMaxChildren) {
            state.PauseTiming();
            child.reset();
            tracer = setup.hub->startTransaction("bench", "task");
            underThisTracer = 0;
            state.ResumeTiming();
        }
    }
    state.counters["allocs_per_span"] = static_cast<double>(allocations) / spans;
}
BENCHMARK(BM_ChildSpanStartFinish);

void BM_TransactionStartFinish(benchmark::State& state) {
    const bool sampled = state.range(0) != 0;
    TracingSetup setup(sampled ? 1.0 : 0.0);
    uint64_t allocations = 0;
    uint64_t transactions = 0;
    for (auto _ : state) {
        const uint64_t before = gAllocations.load(std::memory_order_relaxed);
        auto transaction = setup.hub->startTransaction("bench", "task");
        transaction->finish();
        allocations += gAllocations.load(std::memory_order_relaxed) - before;
        ++transactions;
    }
    state.counters["allocs_per_transaction"] = static_cast<double>(allocations) / transactions;
    state.SetLabel(sampled ? "sampled, without the send" : "not sampled");
}
BENCHMARK(BM_TransactionStartFinish)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
