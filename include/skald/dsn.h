#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "skald/error.h"
#include "skald/url.h"

namespace skald {

/// A parsed DSN: the URL naming the service's project and carrying the public
/// key, with the endpoints derived from it. Immutable apart from the two
/// endpoint caches.
class Dsn {
  public:
    /// Nothing (and `*error` set, when given) if the text, trimmed of white
    /// space and line breaks, is not a valid DSN.
    static std::shared_ptr<Dsn> make(std::string_view text, Error* error = nullptr);

    Dsn(const Dsn&) = delete;
    Dsn& operator=(const Dsn&) = delete;

    const Url& url() const { return url_; }
    /// "<scheme>://<host>[:<port>]<prefix>/api/<project>/store/", built once.
    const Url& getStoreEndpoint() const;
    /// "<scheme>://<host>[:<port>]<prefix>/api/<project>/envelope/", built once.
    const Url& getEnvelopeEndpoint() const;
    /// SHA-1 of the URL's text as 40 lowercase hexadecimal digits.
    std::string getHash() const;

  private:
    explicit Dsn(Url url) : url_(std::move(url)) {}

    const Url& cachedEndpoint(std::atomic<bool>& ready, std::optional<Url>& slot,
                              const char* suffix) const;

    const Url url_;
    mutable std::mutex mutex_;
    mutable std::atomic<bool> storeReady_{false};
    mutable std::atomic<bool> envelopeReady_{false};
    mutable std::optional<Url> storeEndpoint_;
    mutable std::optional<Url> envelopeEndpoint_;
};

}  // namespace skald
