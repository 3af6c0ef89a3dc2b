#pragma once

#include <string>

#include "crash/async_safe/app_state.h"

namespace skald::crash::appstate {

/// Loads "<installPath>/Data/CrashState.json" (a missing file is a fresh start)
/// and remembers where to save.
void initialize(const std::string& installPath);

void notifyAppActive(bool isActive);
void notifyAppInForeground(bool isInForeground);
void notifyAppTerminate();

const AppState& currentState();

}  // namespace skald::crash::appstate
