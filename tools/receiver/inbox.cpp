#include "tools/receiver/inbox.h"

#include <algorithm>
#include <map>

#include "skald/envelope.h"
#include "tools/receiver/item_summary.h"
#include "tools/receiver/release_health.h"
#include "tools/receiver/statsd_lines.h"
#include "util/json_bytes.h"

namespace skald::tools {

struct Inbox::Entry {
    uint64_t id = 0;
    uint64_t envelope = 0;
    std::string kind;
    Json summary;                 // what the list shows
    std::optional<Json> payload;  // the item's JSON, when kept
    std::string text;             // text payloads (statsd)
    std::string note;             // why the payload is not shown
    Json envelopeHeader;
    struct Attachment {
        std::string filename;
        std::string contentType;
        std::string attachmentType;
        size_t size = 0;
        std::optional<std::string> data;
    };
    std::vector<Attachment> attachments;
    size_t bytes = 0;
};

namespace {

// A parsed document takes several times the room of its text.
constexpr size_t kParsedOverhead = 4;
constexpr size_t kEntryOverhead = 1024;
constexpr size_t kMaxAttachments = 100;

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string attachmentTypeName(const EnvelopeItemHeader& header) {
    const auto* attachment = dynamic_cast<const EnvelopeAttachmentHeader*>(&header);
    if (attachment && attachment->attachmentType() == AttachmentType::ViewHierarchy) {
        return "event.view_hierarchy";
    }
    return "event.attachment";
}

}  // namespace

Inbox::Inbox(InboxLimits limits) : limits_(limits) {}

Inbox::~Inbox() {
    close();
}

void Inbox::add(const Envelope& envelope, const std::string& bytes, uint64_t envelopeNumber) {
    const double receivedAt = secondsNow();
    Json header = Json::object();
    const std::string_view headerText = std::string_view(bytes).substr(0, bytes.find('\n'));
    if (headerText.size() <= 64 * 1024 && jsonNestingDepth(headerText) <= limits_.maxJsonDepth) {
        if (auto parsed = parseJsonBytes(headerText)) header = std::move(*parsed);
    }

    std::deque<std::shared_ptr<Entry>> made;
    size_t madeBytes = 0;
    size_t droppedHere = 0;
    std::vector<Entry::Attachment> attachments;
    size_t attachmentBytes = 0;
    size_t attachmentsLeftOut = 0;
    for (const auto& item : envelope.items()) {
        const auto& itemHeader = *item->header();
        const std::string& data = item->data();
        if (itemHeader.type() == "attachment") {
            if (attachments.size() >= kMaxAttachments) {
                ++attachmentsLeftOut;
                continue;
            }
            Entry::Attachment attachment{
                shortened(itemHeader.filename().value_or("attachment"), 1000),
                itemHeader.contentType().value_or(""), attachmentTypeName(itemHeader), data.size(),
                std::nullopt};
            if (data.size() <= limits_.maxAttachmentBytes &&
                attachmentBytes + data.size() <= limits_.maxBytes / 2) {
                attachment.data = data;
                attachmentBytes += data.size();
            }
            attachments.push_back(std::move(attachment));
            continue;
        }
        auto entry = std::make_shared<Entry>();
        entry->envelope = envelopeNumber;
        entry->envelopeHeader = header;
        const bool isText = itemHeader.type() == "statsd";
        if (data.size() > limits_.maxJsonBytes) {
            entry->note =
                "payload of " + std::to_string(data.size()) + " bytes is too large to keep";
        } else if (isText) {
            entry->text = data;
        } else if (jsonNestingDepth(data) > limits_.maxJsonDepth) {
            entry->note = "payload is nested too deeply to show";
        } else if (auto parsed = parseJsonBytes(data); parsed && parsed->is_object()) {
            entry->payload = std::move(*parsed);
        } else {
            entry->note = "payload is not a JSON object in UTF-8";
        }
        const Json* payload = entry->payload ? &*entry->payload : nullptr;
        entry->kind = itemKind(itemHeader.type(), payload);
        entry->summary = itemSummary(entry->kind, payload, entry->text);
        entry->summary["kind"] = entry->kind;
        entry->summary["type"] = itemHeader.type();
        entry->summary["size"] = data.size();
        entry->summary["received"] = receivedAt;
        entry->summary["envelope"] = envelopeNumber;
        entry->bytes = kEntryOverhead + (entry->payload ? data.size() * kParsedOverhead : 0) +
                       entry->text.size() + headerText.size() * kParsedOverhead;
        madeBytes += entry->bytes;
        made.push_back(std::move(entry));
        // An envelope of many items must not hold more than the inbox would keep.
        while (made.size() > limits_.maxItems ||
               (made.size() > 1 && madeBytes > limits_.maxBytes)) {
            madeBytes -= made.front()->bytes;
            made.pop_front();
            ++droppedHere;
        }
    }
    if (!attachments.empty()) {
        // Attachments belong to the event or transaction they travel with; alone they
        // make an entry of their own.
        auto owner = std::find_if(made.begin(), made.end(), [](const auto& entry) {
            return entry->kind == "event" || entry->kind == "crash" || entry->kind == "transaction";
        });
        if (owner == made.end()) {
            auto entry = std::make_shared<Entry>();
            entry->envelope = envelopeNumber;
            entry->envelopeHeader = header;
            entry->kind = "attachment";
            entry->summary = itemSummary(entry->kind, nullptr, {});
            entry->summary["title"] =
                shortened(std::to_string(attachments.size()) +
                              " attachment(s): " + attachments.front().filename,
                          300);
            entry->summary["kind"] = entry->kind;
            entry->summary["type"] = "attachment";
            entry->summary["size"] = 0;
            entry->summary["received"] = receivedAt;
            entry->summary["envelope"] = envelopeNumber;
            entry->bytes = kEntryOverhead;
            made.push_back(std::move(entry));
            owner = made.end() - 1;
        }
        for (auto& attachment : attachments) {
            (*owner)->bytes += attachment.filename.size() + (attachment.data ? attachment.size : 0);
        }
        (*owner)->summary["attachments"] = attachments.size();
        if (attachmentsLeftOut > 0) (*owner)->summary["attachments_left_out"] = attachmentsLeftOut;
        (*owner)->attachments = std::move(attachments);
    }

    {
        std::lock_guard guard(mutex_);
        dropped_ += droppedHere;
        for (auto& entry : made) {
            entry->id = nextId_++;
            entry->summary["id"] = entry->id;
            bytes_ += entry->bytes;
            entries_.push_back(std::move(entry));
        }
        keepWithinLimits();
    }
    changed_.notify_all();
}

void Inbox::keepWithinLimits() {
    while (!entries_.empty() && (entries_.size() > limits_.maxItems || bytes_ > limits_.maxBytes)) {
        bytes_ -= entries_.front()->bytes;
        entries_.pop_front();
        ++dropped_;
    }
}

std::shared_ptr<const Inbox::Entry> Inbox::find(uint64_t id) const {
    std::lock_guard guard(mutex_);
    const auto found =
        std::lower_bound(entries_.begin(), entries_.end(), id,
                         [](const auto& entry, uint64_t key) { return entry->id < key; });
    if (found == entries_.end() || (*found)->id != id) return nullptr;
    return *found;
}

Json Inbox::list(const std::string& kind, size_t limit, uint64_t after) const {
    std::lock_guard guard(mutex_);
    Json items = Json::array();
    for (auto it = entries_.rbegin(); it != entries_.rend() && items.size() < limit; ++it) {
        if ((*it)->id <= after) break;
        if (kind.empty() || (*it)->kind == kind) items.push_back((*it)->summary);
    }
    return {{"items", std::move(items)},
            {"latest", nextId_ - 1},
            {"kept", entries_.size()},
            {"dropped", dropped_}};
}

std::optional<Json> Inbox::detail(uint64_t id) const {
    const auto entry = find(id);
    if (!entry) return std::nullopt;
    Json detail = entry->summary;
    detail["payload"] = entry->payload ? *entry->payload : Json(nullptr);
    if (!entry->text.empty()) detail["text"] = entry->text;
    if (!entry->note.empty()) detail["note"] = entry->note;
    detail["envelope_header"] = entry->envelopeHeader;
    Json attachments = Json::array();
    for (size_t i = 0; i < entry->attachments.size(); ++i) {
        const auto& attachment = entry->attachments[i];
        attachments.push_back({{"index", i},
                               {"filename", attachment.filename},
                               {"content_type", attachment.contentType},
                               {"attachment_type", attachment.attachmentType},
                               {"size", attachment.size},
                               {"kept", attachment.data.has_value()}});
    }
    detail["attachments"] = std::move(attachments);

    // Items of the same envelope, and a transaction's profile (or a profile's
    // transaction) wherever it came.
    const std::string eventId = entry->summary.value("event_id", "");
    Json related = Json::array();
    std::lock_guard guard(mutex_);
    for (const auto& other : entries_) {
        if (other->id == entry->id) continue;
        bool linked = other->envelope == entry->envelope;
        if (!linked && !eventId.empty() && entry->kind == "transaction" &&
            other->kind == "profile" && other->payload) {
            const auto transaction = other->payload->find("transaction");
            linked = transaction != other->payload->end() && transaction->is_object() &&
                     transaction->value("id", "") == eventId;
        }
        if (!linked && entry->kind == "profile" && entry->payload && other->kind == "transaction") {
            const auto transaction = entry->payload->find("transaction");
            linked = transaction != entry->payload->end() && transaction->is_object() &&
                     !other->summary.value("event_id", "").empty() &&
                     transaction->value("id", "") == other->summary.value("event_id", "");
        }
        if (linked) related.push_back(other->summary);
    }
    detail["related"] = std::move(related);
    return detail;
}

std::optional<Inbox::Download> Inbox::attachment(uint64_t id, size_t index) const {
    const auto entry = find(id);
    if (!entry || index >= entry->attachments.size() || !entry->attachments[index].data) {
        return std::nullopt;
    }
    const auto& attachment = entry->attachments[index];
    return Download{attachment.filename, attachment.contentType, *attachment.data};
}

Json Inbox::sessions() const {
    std::vector<SessionUpdate> updates;
    {
        std::lock_guard guard(mutex_);
        for (const auto& entry : entries_) {
            if (entry->kind == "session" && entry->payload) {
                updates.push_back({entry->id, *entry->payload});
            }
        }
    }
    return sessionOverview(updates);
}

Json Inbox::metrics() const {
    struct Point {
        double time;
        uint64_t id;
        StatsdLine line;
    };
    std::map<std::string, std::vector<Point>> series;
    size_t malformed = 0;
    {
        std::lock_guard guard(mutex_);
        for (const auto& entry : entries_) {
            if (entry->kind != "metrics") continue;
            auto parsed = parseStatsd(entry->text);
            malformed += parsed.malformed;
            const double received = entry->summary.value("received", 0.0);
            for (auto& line : parsed.lines) {
                const double time =
                    line.timestamp ? static_cast<double>(*line.timestamp) : received;
                std::string name = line.name;
                series[name].push_back({time, entry->id, std::move(line)});
            }
        }
    }
    Json metrics = Json::array();
    for (auto& [name, points] : series) {
        std::stable_sort(points.begin(), points.end(),
                         [](const Point& a, const Point& b) { return a.time < b.time; });
        Json list = Json::array();
        for (const auto& point : points) {
            list.push_back({{"time", point.time},
                            {"value", chartValue(point.line)},
                            {"count", point.line.values.size()},
                            {"type", std::string(1, point.line.type)},
                            {"unit", point.line.unit},
                            {"tags", point.line.tags},
                            {"id", point.id}});
        }
        metrics.push_back({{"name", name},
                           {"type", std::string(1, points.back().line.type)},
                           {"unit", points.back().line.unit},
                           {"points", std::move(list)}});
    }
    return {{"metrics", std::move(metrics)}, {"malformed", malformed}};
}

uint64_t Inbox::latestId() const {
    std::lock_guard guard(mutex_);
    return nextId_ - 1;
}

uint64_t Inbox::waitForNewer(uint64_t after, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || nextId_ - 1 > after; });
    return nextId_ - 1;
}

void Inbox::close() {
    {
        std::lock_guard guard(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool Inbox::isClosed() const {
    std::lock_guard guard(mutex_);
    return closed_;
}

}  // namespace skald::tools
