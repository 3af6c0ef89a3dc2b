#pragma once

#include <string>

#include "skald/date.h"
#include "skald/level.h"

namespace skald {

/// What a diagnostic handler hands to the event builder.
struct MXExceptionParams {
    /// The mechanism's "handled"; the crashed flag of the first thread is its opposite.
    bool handled = true;
    Level level = Level::Warning;
    std::string exceptionValue;
    std::string exceptionType;
    std::string exceptionMechanism;
    /// The event's timestamp: the payload's begin.
    Date timeStampBegin;
};

}  // namespace skald
