// Feeds arbitrary bytes to the envelope parser. Whatever parses must write
// back to bytes that parse to the same items.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "skald/serialization.h"
#include "skald/envelope.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that any read past the input is caught.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto envelope = skald::Serialization::envelopeWithData(input);
    if (!envelope) return 0;

    size_t payloadBytes = 0;
    for (const auto& item : envelope->items()) {
        check(item->data().size() == item->header()->length());
        payloadBytes += item->data().size();
    }
    check(payloadBytes <= size);

    const auto written = skald::Serialization::dataWithEnvelope(*envelope);
    check(written.has_value());
    const auto reparsed = skald::Serialization::envelopeWithData(*written);
    check(reparsed != nullptr);
    check(reparsed->items().size() == envelope->items().size());
    for (size_t i = 0; i < envelope->items().size(); ++i) {
        const auto& before = *envelope->items()[i];
        const auto& after = *reparsed->items()[i];
        check(before.header()->type() == after.header()->type());
        check(before.data() == after.data());
        check(before.header()->filename() == after.header()->filename());
    }
    check(reparsed->header()->eventId() == envelope->header()->eventId());
    check(reparsed->header()->traceContext() == envelope->header()->traceContext());
    return 0;
}
