// Writing a 1 MiB envelope of ten items to bytes and parsing it back, next to
// a plain copy of the same bytes: the framing should cost little more than the
// copies it cannot avoid.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>

#include "skald/serialization.h"
#include "skald/envelope.h"

namespace {

constexpr size_t kEnvelopeBytes = 1 << 20;
constexpr size_t kItems = 10;

std::shared_ptr<skald::Envelope> makeEnvelope() {
    skald::Envelope::Items items;
    const size_t payloadSize = kEnvelopeBytes / kItems - 64;
    for (size_t i = 0; i < kItems; ++i) {
        std::string payload(payloadSize, '\0');
        for (size_t b = 0; b < payload.size(); ++b) {
            // Newlines inside payloads as well, like real attachments carry.
            payload[b] = static_cast<char>((b * 31 + i) % 251);
        }
        items.push_back(std::make_shared<skald::EnvelopeItem>(
            std::make_shared<skald::EnvelopeAttachmentHeader>(
                "attachment", payload.size(), "file" + std::to_string(i) + ".bin",
                "application/octet-stream", skald::AttachmentType::EventAttachment),
            std::move(payload)));
    }
    return std::make_shared<skald::Envelope>(skald::Id(), std::move(items));
}

void BM_EnvelopeWriteAndParse(benchmark::State& state) {
    const auto envelope = makeEnvelope();
    size_t bytes = 0;
    for (auto _ : state) {
        const auto data = skald::Serialization::dataWithEnvelope(*envelope);
        const auto parsed = skald::Serialization::envelopeWithData(*data);
        if (!parsed || parsed->items().size() != kItems) state.SkipWithError("round trip failed");
        bytes = data->size();
        benchmark::DoNotOptimize(parsed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["envelope_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EnvelopeWriteAndParse)->Unit(benchmark::kMicrosecond);

void BM_MemcpySameBytes(benchmark::State& state) {
    const std::string source = *skald::Serialization::dataWithEnvelope(*makeEnvelope());
    for (auto _ : state) {
        // A fresh buffer each time, as the envelope round trip allocates too.
        std::string copy(source.size(), '\0');
        std::memcpy(copy.data(), source.data(), source.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_MemcpySameBytes)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
