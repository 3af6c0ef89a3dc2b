#pragma once

#include <memory>
#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {
class Hub;
class Options;
}  // namespace skald

namespace skald::profiling {

/// Whether the launch profile is being recorded.
bool isLaunchProfileRunning();
void setLaunchProfileRunning(bool running);

/// Where the next launch's profiling configuration is kept.
std::string launchProfileConfigPath();

/// Decides from `options` whether the next launch is profiled and stores
/// (or removes) the configuration accordingly.
void configureLaunchProfiling(const Options& options);

/// What a stored configuration asks for; nothing when it is missing or not one.
struct LaunchProfileConfig {
    bool continuousProfiling = false;
    std::optional<double> tracesRate;
    std::optional<double> profilesRate;
};
std::optional<LaunchProfileConfig> parseLaunchProfileConfig(const std::string& text);

/// Starts the launch profile the previous run asked for, if any. Runs at
/// load time, before the program's entry; idempotent.
void startLaunchProfileIfConfigured();
/// Starts the launch profile that `config` asks for.
void startLaunchProfile(const LaunchProfileConfig& config);

/// Whether a launch tracer waits to be finished.
bool hasLaunchTracer();

/// Finishes the launch tracer with `hub`, which captures it with its profile.
void stopLaunchProfile(const std::shared_ptr<Hub>& hub);

}  // namespace skald::profiling
