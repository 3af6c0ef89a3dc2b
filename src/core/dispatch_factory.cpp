#include "core/dispatch_factory.h"

#include "core/dispatch_queue_wrapper.h"

namespace skald {

std::shared_ptr<DispatchQueueWrapper> DispatchFactory::queueWithName(const std::string& label) {
    return std::make_shared<DispatchQueueWrapper>(label);
}

}  // namespace skald
