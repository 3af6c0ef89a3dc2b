#pragma once

#include <memory>
#include <optional>

#include "skald/date.h"

namespace skald {

class Options;

/// Class-wide state of the SDK entry that the client and the hub read too.
class SdkState {
  public:
    /// True for the first caller of the process only: the crash callback
    /// runs once per process, whatever number of crash events is prepared.
    static bool markCrashedLastRunCalled();
    static bool crashedLastRunCalled();
    /// For tests: a fresh process as far as the crash callback is concerned.
    static void resetCrashedLastRunCalled();

    static bool detectedStartUpCrash();
    static void setDetectedStartUpCrash(bool detected);

    static unsigned startInvocations();
    static unsigned incrementStartInvocations();

    static std::optional<Date> startTimestamp();

    /// The options of the last start.
    static std::shared_ptr<Options> startOptions();
    static void setStartOptions(std::shared_ptr<Options> options);
    static void setStartTimestamp(std::optional<Date> timestamp);
};

}  // namespace skald
