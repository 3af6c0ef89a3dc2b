#pragma once

#include <optional>
#include <string>

#include "skald/platform/url_request.h"
#include "skald/error.h"

namespace skald {

class Dsn;
class Envelope;

/// "Skald skald_version=7,skald_client=<sdk>/<version>,skald_key=<key>[,skald_secret=<secret>]".
std::string authHeaderValue(const Dsn& dsn);

/// Turns envelopes into gzip-compressed POST requests.
class RequestBuilder {
  public:
    virtual ~RequestBuilder() = default;

    /// To the DSN's envelope endpoint, with the authentication header.
    virtual std::optional<platform::UrlRequest> createEnvelopeRequest(const Envelope& envelope,
                                                                      const Dsn& dsn,
                                                                      Error* error = nullptr);
    /// To `url`, without authentication (the development stream).
    virtual std::optional<platform::UrlRequest> createEnvelopeRequest(const Envelope& envelope,
                                                                      const std::string& url,
                                                                      Error* error = nullptr);

  private:
    std::optional<platform::UrlRequest> build(const Envelope& envelope, const std::string& url,
                                              const std::optional<std::string>& auth, Error* error);
};

}  // namespace skald
