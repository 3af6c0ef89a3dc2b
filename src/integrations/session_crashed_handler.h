#pragma once

#include <memory>

namespace skald {

class CrashWrapper;

/// Turns the session that a crashed run left on disk into a crashed session,
/// which is then sent together with that run's crash event.
class SessionCrashedHandler {
  public:
    explicit SessionCrashedHandler(std::shared_ptr<CrashWrapper> crashWrapper);

    /// When the last launch crashed and a current session is stored: ends it
    /// as crashed at now minus the active time recorded since the crash,
    /// stores it as the crashed session and deletes the current one.
    void endCurrentSessionAsCrashedWhenCrashOrOOM();

  private:
    std::shared_ptr<CrashWrapper> crashWrapper_;
};

}  // namespace skald
