#pragma once

#include <memory>
#include <string>

namespace skald {

class Client;

/// Sends encoded metric lines as one "statsd" envelope item through the client.
class StatsdClient {
  public:
    explicit StatsdClient(std::shared_ptr<Client> client) : client_(std::move(client)) {}
    virtual ~StatsdClient() = default;

    /// Empty data sends nothing.
    virtual void captureStatsdEncodedData(std::string data);

  private:
    std::shared_ptr<Client> client_;
};

}  // namespace skald
