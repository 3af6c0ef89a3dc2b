#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace skald {

class Event;

/// Returns the event to keep, possibly changed, or null to drop it.
using EventProcessor = std::function<std::shared_ptr<Event>(std::shared_ptr<Event>)>;

/// The event processors every client runs, for the life of the process.
class GlobalEventProcessor {
  public:
    static GlobalEventProcessor& shared();

    void addEventProcessor(EventProcessor processor);
    void removeAllProcessors();
    /// A snapshot, so that processors run without the lock held.
    std::vector<EventProcessor> processors() const;

  private:
    GlobalEventProcessor() = default;
    mutable std::mutex mutex_;
    std::vector<EventProcessor> processors_;
};

}  // namespace skald
