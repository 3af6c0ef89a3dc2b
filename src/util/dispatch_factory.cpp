#include "util/dispatch_factory.h"

#include "util/dispatch_queue_wrapper.h"

namespace skald {

std::shared_ptr<DispatchQueueWrapper> DispatchFactory::queueWithName(const std::string& label) {
    return std::make_shared<DispatchQueueWrapper>(label);
}

}  // namespace skald
