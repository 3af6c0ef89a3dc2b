#pragma once

#include <memory>
#include <string>

namespace skald {

class DispatchQueueWrapper;

/// Makes the SDK's own serial queues (transport, profiler, ...).
class DispatchFactory {
  public:
    virtual ~DispatchFactory() = default;
    virtual std::shared_ptr<DispatchQueueWrapper> queueWithName(const std::string& label);
};

}  // namespace skald
