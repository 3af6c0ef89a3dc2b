#pragma once

#include <cstdint>
#include <vector>

#include "model/data_category.h"
#include "skald/date.h"
#include "skald/json.h"

namespace skald {

/// A count of items dropped for one reason in one category.
struct DiscardedEvent {
    DiscardReason reason = DiscardReason::BeforeSend;
    DataCategory category = DataCategory::Default;
    uint64_t quantity = 0;

    Json serialize() const;
};

/// The counts of dropped items that travel to the service as a "client_report" item.
class ClientReport {
  public:
    /// The timestamp is the shared date provider's current date.
    explicit ClientReport(std::vector<DiscardedEvent> discardedEvents);

    Date timestamp() const { return timestamp_; }
    const std::vector<DiscardedEvent>& discardedEvents() const { return discardedEvents_; }

    Json serialize() const;

  private:
    Date timestamp_;
    std::vector<DiscardedEvent> discardedEvents_;
};

}  // namespace skald
