#include "transport/transport_adapter.h"

#include <gtest/gtest.h>

#include "skald/serialization.h"
#include "model/client_report.h"
#include "skald/platform/url_session.h"
#include "skald/event.h"
#include "skald/options.h"
#include "skald/session.h"
#include "tools/receiver/receiver.h"
#include "transport/request_builder.h"
#include "transport/request_manager.h"
#include "transport/spotlight_transport.h"
#include "util/dispatch_queue_wrapper.h"

#include <thread>

namespace skald {
namespace {

using namespace std::chrono_literals;

class RecordingTransport : public Transport {
  public:
    void sendEnvelope(const std::shared_ptr<Envelope>& envelope) override {
        envelopes.push_back(envelope);
    }
    using Transport::recordLostEvent;
    void recordLostEvent(DataCategory category, DiscardReason reason, uint64_t quantity) override {
        lost.push_back({reason, category, quantity});
    }
    FlushResult flush(double) override { return result; }

    std::vector<std::shared_ptr<Envelope>> envelopes;
    std::vector<DiscardedEvent> lost;
    FlushResult result = FlushResult::Success;
};

TEST(TransportAdapterTest, BuildsEventEnvelopesAndFansOut) {
    auto first = std::make_shared<RecordingTransport>();
    auto second = std::make_shared<RecordingTransport>();
    second->result = FlushResult::TimedOut;
    auto options = std::make_shared<Options>();
    options->maxAttachmentSize = 4;
    TransportAdapter adapter({first, second}, options);

    Event event(Level::Error);
    Session session("1.0", "did");
    adapter.sendEvent(
        event, session, std::nullopt,
        {Attachment::fromData("1234", "fits.txt"), Attachment::fromData("12345", "too-big.txt"),
         Attachment::fromPath("/nonexistent/file")});
    ASSERT_EQ(first->envelopes.size(), 1u);
    EXPECT_EQ(second->envelopes[0], first->envelopes[0]);
    const auto& envelope = *first->envelopes[0];
    EXPECT_EQ(envelope.header()->eventId(), event.eventId);
    ASSERT_EQ(envelope.items().size(), 3u) << "attachments that give no item are skipped";
    EXPECT_EQ(envelope.items()[0]->header()->type(), "event");
    EXPECT_EQ(envelope.items()[1]->header()->filename(), "fits.txt");
    EXPECT_EQ(envelope.items()[2]->header()->type(), "session");

    adapter.recordLostEvent(DataCategory::Error, DiscardReason::SampleRate, 3);
    EXPECT_EQ(second->lost.size(), 1u);
    EXPECT_EQ(second->lost[0].quantity, 3u);
    EXPECT_EQ(adapter.flush(1), FlushResult::Success) << "the first transport's result";
}

TEST(SpotlightTransportTest, SendsOnlyEventsAndTransactionsWithoutAuthentication) {
    tools::ReceiverConfig config;
    config.port = 0;
    config.output = [](const std::string&) {};
    tools::Receiver receiver(config);
    ASSERT_TRUE(receiver.start());
    auto options = std::make_shared<Options>();
    options->spotlightUrl = "http://127.0.0.1:" + std::to_string(receiver.port()) + "/stream";
    auto session =
        platform::UrlSession::make(platform::UrlSessionConfiguration::ephemeralConfiguration());
    SpotlightTransport spotlight(options, std::make_shared<QueueableRequestManager>(session),
                                 std::make_shared<RequestBuilder>(),
                                 std::make_shared<DispatchQueueWrapper>("spotlight-test"));

    Session only("1.0", "did");
    spotlight.sendEnvelope(Envelope::forSession(only));  // nothing to show: not sent
    Event event(Level::Info);
    spotlight.sendEnvelope(std::make_shared<Envelope>(
        event.eventId,
        Envelope::Items{EnvelopeItem::forEvent(event), EnvelopeItem::forSession(only)}));
    ASSERT_TRUE(receiver.waitForEnvelopes(1, 10s));
    std::this_thread::sleep_for(100ms);
    const auto received = receiver.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].path, "/stream");
    EXPECT_TRUE(received[0].authHeader.empty());
    const auto envelope = Serialization::envelopeWithData(received[0].body);
    ASSERT_TRUE(envelope);
    ASSERT_EQ(envelope->items().size(), 1u);
    EXPECT_EQ(envelope->items()[0]->header()->type(), "event");

    options->spotlightUrl = "not a url";
    spotlight.sendEnvelope(Envelope::forEvent(event));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(receiver.received().size(), 1u);
    receiver.stop();
}

}  // namespace
}  // namespace skald
