#include "transport/spotlight_transport.h"

#include "skald/envelope.h"
#include "skald/options.h"
#include "skald/url.h"
#include "transport/request_builder.h"
#include "transport/request_manager.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/log.h"

namespace skald {

SpotlightTransport::SpotlightTransport(std::shared_ptr<const Options> options,
                                       std::shared_ptr<RequestManager> requestManager,
                                       std::shared_ptr<RequestBuilder> requestBuilder,
                                       std::shared_ptr<DispatchQueueWrapper> dispatchQueue)
    : options_(std::move(options)),
      requestManager_(std::move(requestManager)),
      requestBuilder_(std::move(requestBuilder)),
      dispatchQueue_(std::move(dispatchQueue)) {}

void SpotlightTransport::sendEnvelope(const std::shared_ptr<Envelope>& envelope) {
    if (!envelope) return;
    const std::string& url = options_->spotlightUrl;
    if (!Url::parse(url)) {
        SKALD_LOG_WARNING(
            "Malformed Spotlight URL passed from the options. Not sending envelope to Spotlight "
            "with URL:%s",
            url.c_str());
        return;
    }
    Envelope::Items items;
    for (const auto& item : envelope->items()) {
        const auto& type = item->header()->type();
        if (type == "event" || type == "transaction") items.push_back(item);
    }
    if (items.empty()) return;
    auto copy = std::make_shared<Envelope>(envelope->header(), std::move(items));

    auto builder = requestBuilder_;
    auto manager = requestManager_;
    dispatchQueue_->dispatchAsync([copy, url, builder, manager] {
        Error error;
        auto request = builder->createEnvelopeRequest(*copy, url, &error);
        if (!request) {
            SKALD_LOG_ERROR("Unable to build envelope request with error %s",
                            error.description().c_str());
            return;
        }
        manager->addRequest(std::move(*request), [](std::optional<platform::HttpResponse>,
                                                    std::optional<Error> error) {
            if (error) {
                SKALD_LOG_ERROR("Error while performing request %s", error->description().c_str());
            }
        });
    });
}

}  // namespace skald
