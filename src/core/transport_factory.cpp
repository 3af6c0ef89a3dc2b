#include "core/transport_factory.h"

#include "core/dependency_container.h"
#include "skald/platform/url_session.h"
#include "skald/options.h"
#include "transport/http_transport.h"
#include "transport/rate_limits.h"
#include "transport/request_builder.h"
#include "transport/request_manager.h"
#include "transport/spotlight_transport.h"
#include "util/current_date_provider.h"
#include "util/dispatch_factory.h"
#include "util/dispatch_queue_wrapper.h"

namespace skald {

std::vector<std::shared_ptr<Transport>> TransportFactory::initTransports(
    std::shared_ptr<const Options> options, std::shared_ptr<FileManager> fileManager,
    std::shared_ptr<CurrentDateProvider> dateProvider) {
    auto container = DependencyContainer::sharedInstance();
    auto session = options->urlSession;
    if (!session) {
        session =
            platform::UrlSession::make(platform::UrlSessionConfiguration::ephemeralConfiguration(),
                                       options->urlSessionDelegate);
    }
    auto requestManager = std::make_shared<QueueableRequestManager>(session);

    auto rateLimits =
        std::make_shared<DefaultRateLimits>(RetryAfterHeaderParser(HttpDateParser(), dateProvider),
                                            RateLimitParser(dateProvider), dateProvider);
    auto envelopeRateLimit = std::make_shared<EnvelopeRateLimit>(rateLimits);
    auto queue = container->dispatchFactory()->queueWithName("skald-http-transport");
    auto requestBuilder = std::make_shared<RequestBuilder>();

    std::vector<std::shared_ptr<Transport>> transports;
    transports.push_back(HttpTransport::make({options, 0.1, std::move(fileManager), requestManager,
                                              requestBuilder, rateLimits, envelopeRateLimit, queue,
                                              dateProvider, container->reachability()}));
    if (options->enableSpotlight()) {
        transports.push_back(
            std::make_shared<SpotlightTransport>(options, requestManager, requestBuilder, queue));
    }
    return transports;
}

}  // namespace skald
