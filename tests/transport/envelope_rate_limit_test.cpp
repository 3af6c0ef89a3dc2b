#include "transport/envelope_rate_limit.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "skald/envelope.h"
#include "transport/rate_limits.h"

namespace skald {
namespace {

class FixedRateLimits : public RateLimits {
  public:
    explicit FixedRateLimits(std::set<DataCategory> limited) : limited_(std::move(limited)) {}
    bool isRateLimitActive(DataCategory category) override { return limited_.count(category) > 0; }
    void update(const platform::HttpResponse&) override {}

  private:
    std::set<DataCategory> limited_;
};

class RecordingDelegate : public EnvelopeRateLimitDelegate {
  public:
    void envelopeItemDropped(const std::shared_ptr<const EnvelopeItem>& item,
                             DataCategory category) override {
        dropped.emplace_back(item, category);
    }
    std::vector<std::pair<std::shared_ptr<const EnvelopeItem>, DataCategory>> dropped;
};

std::shared_ptr<EnvelopeItem> item(const std::string& type) {
    return std::make_shared<EnvelopeItem>(std::make_shared<EnvelopeItemHeader>(type, 2), "{}");
}

TEST(EnvelopeRateLimitTest, DropsLimitedItemsAndTellsTheDelegateOncePerItem) {
    EnvelopeRateLimit limit(std::make_shared<FixedRateLimits>(std::set{DataCategory::Error}));
    auto delegate = std::make_shared<RecordingDelegate>();
    limit.setDelegate(delegate);
    const auto event = item("event");
    const auto session = item("session");
    const auto envelope =
        std::make_shared<Envelope>(EnvelopeHeader::empty(), Envelope::Items{event, session});

    const auto result = limit.removeRateLimitedItems(envelope);
    ASSERT_TRUE(result);
    EXPECT_NE(result, envelope);
    EXPECT_EQ(result->header(), envelope->header());
    ASSERT_EQ(result->items().size(), 1u);
    EXPECT_EQ(result->items()[0], session);
    ASSERT_EQ(delegate->dropped.size(), 1u);
    EXPECT_EQ(delegate->dropped[0].first, event);
    EXPECT_EQ(delegate->dropped[0].second, DataCategory::Error);
}

TEST(EnvelopeRateLimitTest, NothingLimitedGivesTheSameEnvelope) {
    EnvelopeRateLimit limit(std::make_shared<FixedRateLimits>(std::set{DataCategory::Replay}));
    auto delegate = std::make_shared<RecordingDelegate>();
    limit.setDelegate(delegate);
    const auto envelope = std::make_shared<Envelope>(
        EnvelopeHeader::empty(), Envelope::Items{item("event"), item("attachment")});
    EXPECT_EQ(limit.removeRateLimitedItems(envelope), envelope);
    EXPECT_TRUE(delegate->dropped.empty());
    EXPECT_EQ(limit.removeRateLimitedItems(nullptr), nullptr);
}

TEST(EnvelopeRateLimitTest, KeepsOrderAndMapsEveryItemType) {
    EnvelopeRateLimit limit(std::make_shared<FixedRateLimits>(
        std::set{DataCategory::Default, DataCategory::MetricBucket, DataCategory::Transaction}));
    auto delegate = std::make_shared<RecordingDelegate>();
    limit.setDelegate(delegate);
    const auto envelope = std::make_shared<Envelope>(
        EnvelopeHeader::empty(),
        Envelope::Items{item("session"), item("user_report"), item("attachment"), item("statsd"),
                        item("profile"), item("transaction"), item("client_report")});
    const auto result = limit.removeRateLimitedItems(envelope);
    std::vector<std::string> kept;
    for (const auto& remaining : result->items()) kept.push_back(remaining->header()->type());
    EXPECT_EQ(kept, (std::vector<std::string>{"session", "attachment", "profile"}));
    std::vector<DataCategory> categories;
    for (const auto& [dropped, category] : delegate->dropped) categories.push_back(category);
    EXPECT_EQ(categories,
              (std::vector<DataCategory>{DataCategory::Default, DataCategory::MetricBucket,
                                         DataCategory::Transaction, DataCategory::Default}));
}

TEST(EnvelopeRateLimitTest, DelegateIsHeldWeakly) {
    EnvelopeRateLimit limit(std::make_shared<FixedRateLimits>(std::set{DataCategory::Error}));
    std::weak_ptr<RecordingDelegate> weak;
    {
        auto delegate = std::make_shared<RecordingDelegate>();
        weak = delegate;
        limit.setDelegate(delegate);
    }
    EXPECT_TRUE(weak.expired());
    const auto envelope =
        std::make_shared<Envelope>(EnvelopeHeader::empty(), Envelope::Items{item("event")});
    const auto result = limit.removeRateLimitedItems(envelope);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->items().empty());
}

}  // namespace
}  // namespace skald
