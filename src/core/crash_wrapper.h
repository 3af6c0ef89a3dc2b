#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {

class Scope;

/// The narrow interface through which the SDK asks about crashes, the crash
/// state of the previous launch and the system. Every method is virtual so
/// that tests can substitute a double.
class CrashWrapper {
  public:
    /// Enables the system-information collector. `procRoot` is where the
    /// process file system is mounted (tests point it elsewhere).
    explicit CrashWrapper(std::string procRoot = "/proc");
    virtual ~CrashWrapper() = default;
    CrashWrapper(const CrashWrapper&) = delete;
    CrashWrapper& operator=(const CrashWrapper&) = delete;

    // From the crash state; false or 0 while it was never initialised.
    virtual bool crashedLastLaunch();
    virtual double durationFromCrashStateInitToLastCrash();
    virtual double activeDurationSinceLastCrash();
    virtual bool isApplicationInForeground();

    /// Whether a debugger or another tracer is attached.
    virtual bool isBeingTraced();
    /// Always false: there is no simulator on this platform.
    virtual bool isSimulatorBuild();

    /// The system information, gathered on the first call and then kept.
    virtual Json systemInfo();

    /// Free physical memory in bytes ("MemFree"); 0 when it cannot be read.
    virtual uint64_t freeMemorySize();
    /// The process's resident memory plus what of it was swapped out, in
    /// bytes; 0 when it cannot be read.
    virtual uint64_t appMemorySize();

    /// Starts or stops the shared binary-image cache.
    virtual void startBinaryImageCache();
    virtual void stopBinaryImageCache();

    /// Sets the "os", "device" and "app" contexts of `scope` from the system
    /// information, the current locale and the main bundle.
    virtual void enrichScope(Scope& scope);

  private:
    std::optional<std::string> readProcFile(const std::string& relativePath) const;

    std::string procRoot_;
    std::once_flag systemInfoOnce_;
    Json systemInfo_;
};

}  // namespace skald
