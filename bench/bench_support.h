#pragma once

#include <time.h>

#include <memory>

#include "core/client.h"
#include "core/debug_image_provider.h"
#include "core/dependency_container.h"
#include "core/thread_inspector.h"
#include "skald/hub.h"
#include "skald/scope.h"
#include "transport/transport.h"
#include "transport/transport_adapter.h"
#include "util/dispatch_queue_wrapper.h"

namespace skald::bench {

/// Sends nothing and counts nothing: the send is not what is measured.
class NullTransport : public Transport {
  public:
    void sendEnvelope(const std::shared_ptr<Envelope>&) override {}
    void recordLostEvent(DataCategory, DiscardReason, uint64_t) override {}
    FlushResult flush(double) override { return FlushResult::Success; }
};

/// Drops what a hub would send from its queue.
class DroppingQueue : public DispatchQueueWrapper {
  public:
    void dispatchAsync(Block) override {}
};

/// A hub over a client that sends nothing, with a scope and `queue` as its queue.
inline std::shared_ptr<Hub> hubWithoutSending(const std::shared_ptr<Options>& options,
                                              std::shared_ptr<DispatchQueueWrapper> queue) {
    auto adapter = std::make_shared<TransportAdapter>(
        std::vector<std::shared_ptr<Transport>>{std::make_shared<NullTransport>()}, options);
    auto client = std::make_shared<Client>(
        options, adapter, nullptr, false, std::make_shared<ThreadInspector>(*options),
        DependencyContainer::sharedInstance()->debugImageProvider(),
        DependencyContainer::sharedInstance()->random());
    return std::make_shared<Hub>(client, std::make_shared<Scope>(100),
                                 DependencyContainer::sharedInstance()->crashWrapper(),
                                 std::move(queue));
}

/// CPU time of the whole process, all threads, in seconds.
inline double processCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace skald::bench
