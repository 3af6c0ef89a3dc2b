#pragma once

namespace skald::platform {

/// A scheduled timer. It keeps itself alive while scheduled; `invalidate`
/// stops it. A one-shot timer becomes invalid once it has fired.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

}  // namespace skald::platform
