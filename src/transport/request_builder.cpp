#include "transport/request_builder.h"

#include "skald/serialization.h"
#include "skald/dsn.h"
#include "skald/envelope.h"
#include "skald/platform/gzip.h"
#include "util/log.h"
#include "util/meta.h"

namespace skald {

namespace {
constexpr double kRequestTimeout = 15;
}

std::string authHeaderValue(const Dsn& dsn) {
    std::string value = "Skald skald_version=7,skald_client=" + Meta::sdkName() + "/" +
                        Meta::versionString() + ",skald_key=" + dsn.url().user().value_or("");
    if (const auto& secret = dsn.url().password()) value += ",skald_secret=" + *secret;
    return value;
}

std::optional<platform::UrlRequest> RequestBuilder::createEnvelopeRequest(const Envelope& envelope,
                                                                          const Dsn& dsn,
                                                                          Error* error) {
    return build(envelope, dsn.getEnvelopeEndpoint().absoluteString(), authHeaderValue(dsn), error);
}

std::optional<platform::UrlRequest> RequestBuilder::createEnvelopeRequest(const Envelope& envelope,
                                                                          const std::string& url,
                                                                          Error* error) {
    return build(envelope, url, std::nullopt, error);
}

std::optional<platform::UrlRequest> RequestBuilder::build(const Envelope& envelope,
                                                          const std::string& url,
                                                          const std::optional<std::string>& auth,
                                                          Error* error) {
    const auto data = Serialization::dataWithEnvelope(envelope);
    if (!data) {
        if (error) *error = Error::skald(ErrorCode::UnknownError, "Envelope cannot be serialized.");
        return std::nullopt;
    }
    auto body = gzipCompress(*data, kDefaultCompressionLevel, error);
    if (!body) return std::nullopt;

    platform::UrlRequest request(url);
    request.cachePolicy = platform::UrlRequestCachePolicy::ReloadIgnoringLocalCacheData;
    request.timeoutInterval = kRequestTimeout;
    request.httpMethod = "POST";
    // The authentication header is for the service's origin alone; a redirect
    // elsewhere is a failed send, and the envelope stays stored.
    request.redirectPolicy = platform::UrlRedirectPolicy::SameOrigin;
    if (auth) request.setValueForHeader(*auth, "X-Skald-Auth");
    request.setValueForHeader("application/x-skald-envelope", "Content-Type");
    request.setValueForHeader(Meta::sdkName() + "/" + Meta::versionString(), "User-Agent");
    request.setValueForHeader("gzip", "Content-Encoding");
    request.httpBody = std::move(*body);
    SKALD_LOG_DEBUG("Constructed request: POST %s (%zu bytes)", request.url.c_str(),
                    request.httpBody.size());
    return request;
}

}  // namespace skald
