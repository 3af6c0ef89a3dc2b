#pragma once

#include "skald/platform/app_exception.h"

namespace skald::crash {

/// The monitor's handler of the application layer's uncaught exceptions, for
/// code that routes such exceptions to it directly.
platform::UncaughtExceptionHandler appExceptionHandler();

}  // namespace skald::crash
