#pragma once

#include <memory>
#include <vector>

#include "transport/transport.h"

namespace skald {

class CurrentDateProvider;
class FileManager;
class Options;

/// Wires the transports for the options: HTTP first, then the development
/// stream when it is switched on.
class TransportFactory {
  public:
    static std::vector<std::shared_ptr<Transport>> initTransports(
        std::shared_ptr<const Options> options, std::shared_ptr<FileManager> fileManager,
        std::shared_ptr<CurrentDateProvider> dateProvider);
};

}  // namespace skald
