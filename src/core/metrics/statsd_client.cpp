#include "core/metrics/statsd_client.h"

#include "core/client.h"
#include "skald/envelope.h"

namespace skald {

void StatsdClient::captureStatsdEncodedData(std::string data) {
    if (data.empty() || !client_) return;
    auto item = EnvelopeItem::forStatsd(std::move(data));
    client_->captureEnvelope(std::make_shared<Envelope>(std::optional<Id>(Id()), std::move(item)));
}

}  // namespace skald
