#pragma once

namespace skald {

/// What the SDK entry asks of the installed app hang integration, so that
/// the entry does not depend on the integration itself.
class AppHangControl {
  public:
    virtual ~AppHangControl() = default;
    virtual void pauseAppHangTracking() = 0;
    virtual void resumeAppHangTracking() = 0;
};

}  // namespace skald
