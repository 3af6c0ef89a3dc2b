#include <gtest/gtest.h>

#include "skald/envelope.h"
#include "skald/sdk_info.h"
#include "skald/trace_context.h"

namespace skald {
namespace {

const Id kTraceId = Id::fromUuidString("12c2d058d58442709aa2eca08bf20986");

TEST(SdkInfoTest, SerializesWithPackageForEachManager) {
    EXPECT_EQ(SdkInfo("skald.cocoa", "1.0.0").serialize(),
              Json::parse(R"({"sdk":{"name":"skald.cocoa","version":"1.0.0","packages":
                  {"name":"carthage:skald/skald.cocoa","version":"1.0.0"}}})"));
    EXPECT_EQ(SdkInfo("n", "v", PackageManager::Spm).packageName(), "spm:skald/n");
    EXPECT_EQ(SdkInfo("n", "v", PackageManager::Cocoapods).packageName(), "cocoapods:skald/n");
    EXPECT_EQ(SdkInfo("n", "v", PackageManager::Unknown).serialize(),
              Json::parse(R"({"sdk":{"name":"n","version":"v"}})"));
}

TEST(SdkInfoTest, ReadsFromAWholeHeader) {
    EXPECT_EQ(SdkInfo::fromDict(Json::parse(R"({"sdk":{"name":"a","version":"b"}})")),
              SdkInfo("a", "b"));
    EXPECT_EQ(SdkInfo::fromDict(Json::parse(R"({"sdk":{"name":1}})")), SdkInfo("", ""));
    EXPECT_EQ(SdkInfo::fromDict(Json::parse(R"({"sdk":"x"})")), SdkInfo("", ""));
}

TEST(TraceContextTest, SerializesOnlyWhatIsPresent) {
    EXPECT_EQ(TraceContext(kTraceId, "key").serialize(),
              Json::parse(R"({"trace_id":"12c2d058d58442709aa2eca08bf20986","public_key":"key"})"));
    const TraceContext full(kTraceId, "key", "rel", "env", "tx", "seg", "0.25", "false", "rid");
    const Json json = full.serialize();
    std::vector<std::string> keys;
    for (const auto& [key, value] : json.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"trace_id", "public_key", "release", "environment",
                                              "transaction", "user_segment", "sample_rate",
                                              "sampled", "replay_id"}));
    EXPECT_EQ(TraceContext::fromDict(json), full);
}

TEST(TraceContextTest, FromDictNeedsTraceIdAndPublicKey) {
    EXPECT_FALSE(TraceContext::fromDict(Json::parse(R"({"public_key":"k"})")));
    EXPECT_FALSE(TraceContext::fromDict(Json::parse(R"({"trace_id":"zz","public_key":"k"})")));
    EXPECT_FALSE(
        TraceContext::fromDict(Json::parse(R"({"trace_id":"12c2d058d58442709aa2eca08bf20986"})")));
    EXPECT_FALSE(TraceContext::fromDict(Json::array()));
}

TEST(TraceContextTest, UserSegmentPrefersTheUserObject) {
    const auto nested = TraceContext::fromDict(Json::parse(
        R"({"trace_id":"12c2d058d58442709aa2eca08bf20986","public_key":"k",
            "user":{"segment":"paid"},"user_segment":"free","sample_rate":1})"));
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->userSegment(), "paid");
    EXPECT_FALSE(nested->sampleRate());
    const auto flat = TraceContext::fromDict(Json::parse(
        R"({"trace_id":"12c2d058d58442709aa2eca08bf20986","public_key":"k",
            "user":{"segment":3},"user_segment":"free"})"));
    EXPECT_EQ(flat->userSegment(), "free");
}

TEST(EnvelopeHeaderTest, ItemHeadersSerialize) {
    EXPECT_EQ(EnvelopeItemHeader("event", 3).serialize(),
              Json::parse(R"({"type":"event","length":3})"));
    EXPECT_EQ(
        EnvelopeItemHeader("a", 1, "f.txt", "text/plain").serialize(),
        Json::parse(R"({"type":"a","length":1,"filename":"f.txt","content_type":"text/plain"})"));
    EXPECT_EQ(
        EnvelopeAttachmentHeader("attachment", 0).serialize(),
        Json::parse(R"({"type":"attachment","length":0,"attachment_type":"event.attachment"})"));
    EXPECT_EQ(EnvelopeAttachmentHeader("attachment", 2, "v.json", std::nullopt,
                                       AttachmentType::ViewHierarchy)
                  .serialize(),
              Json::parse(R"({"type":"attachment","length":2,"filename":"v.json",
                              "attachment_type":"event.view_hierarchy"})"));
    EXPECT_EQ(attachmentTypeForName("something"), AttachmentType::EventAttachment);
}

}  // namespace
}  // namespace skald
