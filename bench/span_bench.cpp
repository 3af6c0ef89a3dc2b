// What tracing costs the thread that traces: a child span's start and finish
// (with the heap allocations it makes), and a whole transaction's start and
// finish, unsampled and sampled, without the send.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "allocation_counter.h"
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

using namespace skald;
using bench::DroppingQueue;

struct TracingSetup {
    explicit TracingSetup(double sampleRate) {
        options = std::make_shared<Options>();
        options->setDsn("https://0123456789abcdef0123456789abcdef@localhost:9/1");
        options->cacheDirectoryPath = (std::filesystem::temp_directory_path() /
                                       ("skald-span-bench-" + std::to_string(::getpid())))
                                          .string();
        options->setTracesSampleRate(sampleRate);
        hub = bench::hubWithoutSending(options, std::make_shared<DroppingQueue>());
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
        const uint64_t before = bench::allocationsOfThisThread();
        auto child = tracer->startChild("db.query", std::nullopt);
        child->finish();
        allocations += bench::allocationsOfThisThread() - before;
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
        const uint64_t before = bench::allocationsOfThisThread();
        auto transaction = setup.hub->startTransaction("bench", "task");
        transaction->finish();
        allocations += bench::allocationsOfThisThread() - before;
        ++transactions;
    }
    state.counters["allocs_per_transaction"] = static_cast<double>(allocations) / transactions;
    state.SetLabel(sampled ? "sampled, without the send" : "not sampled");
}
BENCHMARK(BM_TransactionStartFinish)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
