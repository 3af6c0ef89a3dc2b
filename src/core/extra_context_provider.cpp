#include "core/extra_context_provider.h"

#include <unistd.h>

#include <thread>
#include <utility>

#include "core/crash_wrapper.h"

namespace skald {

uint64_t ExtraContextProvider::onlineProcessorCount() {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) return static_cast<uint64_t>(online);
    return std::thread::hardware_concurrency();
}

ExtraContextProvider::ExtraContextProvider(std::shared_ptr<CrashWrapper> crashWrapper,
                                           ProcessorCount processorCount)
    : crashWrapper_(std::move(crashWrapper)), processorCount_(std::move(processorCount)) {}

Json ExtraContextProvider::getExtraContext() {
    Json device = Json::object();
    Json app = Json::object();
    if (crashWrapper_) {
        device["free_memory"] = crashWrapper_->freeMemorySize();
        app["app_memory"] = crashWrapper_->appMemorySize();
    }
    device["processor_count"] = processorCount_ ? processorCount_() : onlineProcessorCount();
    Json context = Json::object();
    context["device"] = std::move(device);
    context["app"] = std::move(app);
    return context;
}

}  // namespace skald
