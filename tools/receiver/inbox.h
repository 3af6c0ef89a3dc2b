#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {
class Envelope;
}

namespace skald::tools {

/// How much the inbox keeps: whatever arrives may be hostile, so every part is capped.
struct InboxLimits {
    /// Items kept; the oldest go first.
    size_t maxItems = 1000;
    /// Estimated memory of all kept items; the oldest go first.
    size_t maxBytes = 128u * 1024 * 1024;
    /// JSON payloads longer than this are listed but not kept.
    size_t maxJsonBytes = 16u * 1024 * 1024;
    /// JSON nested deeper than this is listed but not kept.
    size_t maxJsonDepth = 100;
    /// Attachments longer than this are listed but their bytes are not kept.
    size_t maxAttachmentBytes = 20u * 1024 * 1024;
};

/// The items of the envelopes the receiver accepted, decoded for the web view:
/// one entry per item, attachments kept with the event of their envelope.
/// Thread-safe.
class Inbox {
  public:
    explicit Inbox(InboxLimits limits = {});
    ~Inbox();

    void add(const Envelope& envelope, const std::string& bytes, uint64_t envelopeNumber);

    /// Summaries, newest first: of `kind` (all when empty), at most `limit`,
    /// only those with an id above `after`.
    Json list(const std::string& kind, size_t limit, uint64_t after = 0) const;
    /// Everything about one item, or nothing when it is unknown or gone.
    std::optional<Json> detail(uint64_t id) const;

    struct Download {
        std::string filename;
        std::string contentType;
        std::string data;
    };
    std::optional<Download> attachment(uint64_t id, size_t index) const;

    /// Sessions grouped by id and the release-health counts.
    Json sessions() const;
    /// Metric series by name: points of time and value.
    Json metrics() const;

    uint64_t latestId() const;
    /// Returns once an item above `after` is there, the inbox closes, or `timeout`
    /// passes; gives the latest id.
    uint64_t waitForNewer(uint64_t after, std::chrono::milliseconds timeout) const;
    /// Wakes and ends every waiter; later waits return at once.
    void close();
    bool isClosed() const;

  private:
    struct Entry;
    void keepWithinLimits();
    std::shared_ptr<const Entry> find(uint64_t id) const;

    const InboxLimits limits_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<std::shared_ptr<const Entry>> entries_;  // oldest first
    uint64_t nextId_ = 1;
    size_t bytes_ = 0;
    size_t dropped_ = 0;
    bool closed_ = false;
};

}  // namespace skald::tools
