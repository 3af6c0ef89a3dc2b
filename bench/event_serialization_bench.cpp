// Serializing a large event to JSON bytes: the work done for every event sent.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "skald/event.h"

namespace {

std::string hex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%016llx", static_cast<unsigned long long>(value));
    return buffer;
}

std::shared_ptr<skald::Stacktrace> makeStacktrace(uint64_t base) {
    auto trace = std::make_shared<skald::Stacktrace>();
    for (int i = 0; i < 30; ++i) {
        auto frame = std::make_shared<skald::Frame>();
        frame->instructionAddress = hex(base + i * 0x40);
        frame->symbolAddress = hex(base + i * 0x40 - 0x10);
        frame->imageAddress = hex(0x7f0000000000ull);
        frame->function = "skald::installer::Step" + std::to_string(i) + "::run()";
        frame->module = i % 3 == 0 ? "libc.so.6" : "installer";
        frame->inApp = i % 3 != 0;
        trace->frames.push_back(std::move(frame));
    }
    trace->registers = {{"rip", hex(base)}, {"rsp", hex(base + 0x1000)}, {"rbp", hex(base + 8)}};
    return trace;
}

skald::Event makeEvent() {
    skald::Event event(skald::Level::Error);
    event.releaseName = "vantorel-installer@2.4.1+812";
    event.environment = "production";
    event.sdk = skald::Json{{"name", "skald.cpp"}, {"version", "1.0.0"}};
    event.user = std::make_shared<skald::User>("installation-7f3a");
    event.message = std::make_shared<skald::Message>("The download could not be mounted");

    for (int i = 0; i < 100; ++i) {
        auto crumb = std::make_shared<skald::Breadcrumb>(skald::Level::Info, "http");
        crumb->type = "http";
        crumb->message = "GET /download finished";
        crumb->data = skald::Json{{"url", "https://download.example.invalid/download?v2=1"},
                                  {"method", "GET"},
                                  {"status_code", 200},
                                  {"response_body_size", 1048576 + i}};
        event.breadcrumbs.push_back(std::move(crumb));
    }

    event.tags.emplace();
    for (int i = 0; i < 20; ++i) {
        (*event.tags)["tag-" + std::to_string(i)] = "value-" + std::to_string(i);
    }

    event.context = skald::Json::object();
    for (const char* name : {"os", "device", "app", "runtime", "culture"}) {
        (*event.context)[name] = skald::Json{{"name", name},
                                             {"version", "12.4.1"},
                                             {"build", "23E224"},
                                             {"memory_size", 17179869184ull},
                                             {"simulator", false}};
    }

    for (int e = 0; e < 2; ++e) {
        auto exception = std::make_shared<skald::Exception>("EXC_BAD_ACCESS", "SIGSEGV");
        exception->mechanism = std::make_shared<skald::Mechanism>("mach");
        exception->mechanism->handled = false;
        exception->threadId = e;
        exception->stacktrace = makeStacktrace(0x100000000ull + e * 0x100000ull);
        event.exceptions.push_back(std::move(exception));
    }
    return event;
}

void BM_EventSerialization(benchmark::State& state) {
    skald::Event event = makeEvent();
    size_t bytes = 0;
    for (auto _ : state) {
        std::string json = event.serialize().dump();
        bytes = json.size();
        benchmark::DoNotOptimize(json.data());
    }
    state.counters["json_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EventSerialization)->Unit(benchmark::kMicrosecond);

void BM_EventSerializeOnly(benchmark::State& state) {
    skald::Event event = makeEvent();
    for (auto _ : state) {
        skald::Json json = event.serialize();
        benchmark::DoNotOptimize(json);
    }
}
BENCHMARK(BM_EventSerializeOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
