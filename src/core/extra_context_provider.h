#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "skald/json.h"

namespace skald {

class CrashWrapper;

/// The live device and app values merged into every non-crash event.
class ExtraContextProvider {
  public:
    using ProcessorCount = std::function<uint64_t()>;

    /// The number of processors that are online.
    static uint64_t onlineProcessorCount();

    explicit ExtraContextProvider(std::shared_ptr<CrashWrapper> crashWrapper,
                                  ProcessorCount processorCount = onlineProcessorCount);
    virtual ~ExtraContextProvider() = default;

    /// {"device": {"free_memory", "processor_count"}, "app": {"app_memory"}},
    /// read at the moment of the call.
    virtual Json getExtraContext();

  private:
    std::shared_ptr<CrashWrapper> crashWrapper_;
    ProcessorCount processorCount_;
};

}  // namespace skald
