#pragma once

#include <string>

#include "crash/async_safe/app_state.h"

namespace skald::crash::appstate {

/// Loads "<installPath>/Data/CrashState.json" (a missing file is a fresh start)
/// and remembers where to save.
void initialize(const std::string& installPath);

/// Enabling starts a new launch: counts it and saves the file.
void setEnabled(bool enabled);
bool isEnabled();

void notifyAppActive(bool isActive);
void notifyAppInForeground(bool isInForeground);
void notifyAppTerminate();

const AppState& currentState();

}  // namespace skald::crash::appstate
