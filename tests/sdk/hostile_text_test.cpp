// Text from the host that is not valid UTF-8, or that holds control
// characters, must neither throw nor lose the event: every public entry that
// takes text is fed such bytes, with the SDK log on so that its debug lines
// are formed too, and the envelope that reaches the transport must parse and
// carry the text (invalid sequences replaced by U+FFFD).
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "integrations/crash_reporter.h"
#include "sdk_fixture.h"
#include "skald/breadcrumb.h"
#include "skald/message.h"
#include "skald/private_sdk_only.h"
#include "skald/sdk.h"
#include "skald/serialization.h"
#include "skald/user.h"
#include "skald/user_feedback.h"
#include "support/eventually.h"
#include "support/log_capture.h"

namespace skald::test {
namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";

struct HostileText {
    std::string name;
    std::string bytes;
    // Valid UTF-8 must arrive byte for byte; invalid sequences are replaced.
    bool validUtf8;
};

std::vector<HostileText> hostileTexts() {
    return {
        {"LoneFF",
         "before\xff"
         "after",
         false},
        {"TruncatedTwoByte",
         "before\xc3"
         "after",
         false},
        {"TruncatedThreeByte",
         "before\xe2\x82"
         "after",
         false},
        {"TruncatedFourByteAtEnd", "before\xf0\x9f\x98", false},
        {"OverlongSlash",
         "before\xc0\xaf"
         "after",
         false},
        {"OverlongThreeByte",
         "before\xe0\x80\xaf"
         "after",
         false},
        {"EncodedSurrogate",
         "before\xed\xa0\x80"
         "after",
         false},
        {"ContinuationOnly",
         "before\x80\xbf"
         "after",
         false},
        {"NulInside", std::string("before\0after", 12), true},
        {"Escape", "before\x1b[31mafter", true},
        {"OtherControls",
         "before\x01\x7f\n\t\r"
         "after",
         true},
    };
}

void PrintTo(const HostileText& text, std::ostream* out) {
    *out << text.name;
}

/// Whether `received` carries `sent` as the service should see it.
::testing::AssertionResult carries(const std::string& received, const HostileText& sent) {
    if (sent.validUtf8) {
        if (received.find(sent.bytes) != std::string::npos) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "text not kept: " << Json(received).dump();
    }
    const bool hasAfter = sent.bytes.find("after") != std::string::npos;
    if (received.find("before") == std::string::npos ||
        (hasAfter && received.find("after") == std::string::npos) ||
        received.find(kReplacement) == std::string::npos) {
        return ::testing::AssertionFailure()
               << "not replaced: "
               << Json(received).dump(-1, ' ', true, Json::error_handler_t::replace);
    }
    return ::testing::AssertionSuccess();
}

class HostileTextFixture : public CurrentHubFixture {
  protected:
    /// Item `type` of the newest envelope holding one: its JSON, or for
    /// attachments its header. Null when no such item arrived or it does not parse.
    Json newestItem(const std::string& type) const {
        const auto envelopes = transport->envelopes();
        for (auto envelope = envelopes.rbegin(); envelope != envelopes.rend(); ++envelope) {
            // The whole envelope must frame and parse back, as the service reads it.
            auto bytes = Serialization::dataWithEnvelope(**envelope);
            if (!bytes) return Json();
            auto parsed = Serialization::envelopeWithData(*bytes);
            if (!parsed) return Json();
            for (const auto& item : parsed->items()) {
                if (item->header()->type() != type) continue;
                if (type == "attachment") return item->header()->serialize();
                return parseJsonBytes(item->data()).value_or(Json());
            }
        }
        return Json();
    }
};

/// One public entry: what it is given, and where the text must show up.
struct Entry {
    std::string name;
    std::function<void(const std::string& text, Options& options)> call;
    std::string itemType;
    std::vector<std::string> pointers;
};

void PrintTo(const Entry& entry, std::ostream* out) {
    *out << entry.name;
}

std::shared_ptr<User> userOf(const std::string& text) {
    auto user = std::make_shared<User>(text);
    user->setEmail(text);
    user->setUsername(text);
    user->setIpAddress(text);
    user->setSegment(text);
    user->setName(text);
    user->setData(Json{{"note", text}});
    return user;
}

std::vector<Entry> entries() {
    return {
        {"CaptureMessage",
         [](const std::string& text, Options&) { SDK::captureMessage(text); },
         "event",
         {"/message/formatted"}},
        {"CaptureMessageWithScopeBlock",
         [](const std::string& text, Options&) {
             SDK::captureMessage("m", [&](Scope& scope) { scope.setTagValue(text, "block"); });
         },
         "event",
         {"/tags/block"}},
        {"ScopeTagsExtrasContexts",
         [](const std::string& text, Options&) {
             SDK::configureScope([&](Scope& scope) {
                 scope.setTagValue(text, "tag");
                 scope.setExtraValue(text, "extra");
                 scope.setExtraValue(Json{{"nested", Json::array({text})}}, "deep");
                 scope.setContextValue(Json{{"value", text}}, "custom");
             });
             SDK::captureMessage("m");
         },
         "event",
         {"/tags/tag", "/extra/extra", "/extra/deep/nested/0", "/contexts/custom/value"}},
        {"ScopeSingleValues",
         [](const std::string& text, Options&) {
             SDK::configureScope([&](Scope& scope) {
                 scope.setDist(text);
                 scope.setEnvironment(text);
                 scope.setFingerprint({text});
                 scope.setCurrentScreen(text);
             });
             SDK::captureMessage("m");
         },
         "event",
         {"/dist", "/environment", "/fingerprint/0"}},
        {"SetUser",
         [](const std::string& text, Options&) {
             SDK::setUser(userOf(text));
             SDK::captureMessage("m");
         },
         "event",
         {"/user/id", "/user/email", "/user/username", "/user/ip_address", "/user/segment",
          "/user/name", "/user/data/note"}},
        {"AddBreadcrumb",
         [](const std::string& text, Options&) {
             auto crumb = std::make_shared<Breadcrumb>(Level::Info, text);
             crumb->message = text;
             crumb->type = text;
             crumb->data = Json{{"detail", text}};
             SDK::addBreadcrumb(crumb);
             SDK::captureMessage("m");
         },
         "event",
         {"/breadcrumbs/0/category", "/breadcrumbs/0/message", "/breadcrumbs/0/type",
          "/breadcrumbs/0/data/detail"}},
        {"CaptureEvent",
         [](const std::string& text, Options&) {
             auto event = std::make_shared<Event>(Level::Warning);
             event->message = std::make_shared<Message>(text);
             event->releaseName = text;
             event->environment = text;
             event->transaction = text;
             event->logger = text;
             event->serverName = text;
             event->tags = std::map<std::string, std::string>{{"own", text}};
             event->extra = Json{{"own", text}};
             event->modules = std::map<std::string, std::string>{{"module", text}};
             SDK::captureEvent(event);
         },
         "event",
         {"/message/formatted", "/release", "/environment", "/transaction", "/logger",
          "/server_name", "/tags/own", "/extra/own", "/modules/module"}},
        {"CaptureCrashEvent",
         [](const std::string& text, Options&) {
             auto event = std::make_shared<Event>(Level::Fatal);
             event->message = std::make_shared<Message>(text);
             SDK::captureCrashEvent(event);
         },
         "event",
         {"/message/formatted"}},
        {"CaptureErrorWithUserInfo",
         [](const std::string& text, Options&) {
             Error error(text, 7, text);
             error.userInfo["NSDebugDescription"] = text;
             error.userInfo["detail"] = text;
             // Not an error object: ends the chain with a warning that quotes it.
             error.userInfo["NSUnderlyingError"] = text;
             SDK::captureError(error);
         },
         "event",
         {"/exception/values/0/type", "/exception/values/0/value",
          "/exception/values/0/mechanism/description", "/exception/values/0/mechanism/data/detail",
          "/contexts/user_info/detail"}},
        {"CaptureErrorChain",
         [](const std::string& text, Options&) {
             Error error("Outer", 1, "outer");
             error.underlyingError = std::make_shared<Error>(text, 2, text);
             SDK::captureError(error);
         },
         "event",
         {"/exception/values/0/type", "/exception/values/0/mechanism/description"}},
        {"CaptureException",
         [](const std::string& text, Options&) {
             ExceptionObject exception{text, text, Json{{"detail", text}}};
             SDK::captureException(exception);
         },
         "event",
         {"/exception/values/0/type", "/exception/values/0/value", "/contexts/user_info/detail"}},
        {"OptionsReleaseDistEnvironment",
         [](const std::string& text, Options& options) {
             options.releaseName = text;
             options.dist = text;
             options.environment = text;
             SDK::captureMessage("m");
         },
         "event",
         {"/release", "/dist", "/environment"}},
        {"StartSessionWithReleaseAndEnvironment",
         [](const std::string& text, Options& options) {
             options.releaseName = text;
             options.environment = text;
             SDK::startSession();
         },
         "session",
         {"/attrs/release", "/attrs/environment"}},
        {"ErrorCountedInSession",
         [](const std::string& text, Options& options) {
             options.releaseName = text;
             SDK::startSession();
             SDK::captureError(Error(text, 3, text));
         },
         "event",
         {"/exception/values/0/type", "/release"}},
        {"EndSession",
         [](const std::string& text, Options& options) {
             options.releaseName = text;
             SDK::startSession();
             SDK::endSession();
         },
         "session",
         {"/attrs/release"}},
        {"Attachment",
         [](const std::string& text, Options&) {
             SDK::configureScope([&](Scope& scope) {
                 scope.addAttachment(Attachment::fromData("payload", text, text));
             });
             SDK::captureMessage("m");
         },
         "attachment",
         {"/filename", "/content_type"}},
        {"UserFeedback",
         [](const std::string& text, Options&) {
             UserFeedback feedback(Id{});
             feedback.name = text;
             feedback.email = text;
             feedback.comments = text;
             SDK::captureUserFeedback(feedback);
         },
         "user_report",
         {"/name", "/email", "/comments"}},
    };
}

class PublicEntries : public HostileTextFixture,
                      public ::testing::WithParamInterface<std::tuple<Entry, HostileText>> {};

TEST_P(PublicEntries, NeitherThrowNorLoseTheText) {
    const auto& [entry, text] = GetParam();
    options->debug = true;
    // Every SDK log line is formed, the debug lines included.
    LogCapture log(Level::Debug);
    EXPECT_NO_THROW(entry.call(text.bytes, *options));

    const Json item = newestItem(entry.itemType);
    ASSERT_TRUE(item.is_object()) << "no parseable " << entry.itemType << " item arrived";
    for (const auto& pointer : entry.pointers) {
        const Json::json_pointer at(pointer);
        ASSERT_TRUE(item.contains(at)) << pointer << " missing in " << jsonBytes(item).value();
        ASSERT_TRUE(item.at(at).is_string()) << pointer;
        EXPECT_TRUE(carries(item.at(at).get<std::string>(), text)) << pointer;
    }
}

INSTANTIATE_TEST_SUITE_P(HostileText, PublicEntries,
                         ::testing::Combine(::testing::ValuesIn(entries()),
                                            ::testing::ValuesIn(hostileTexts())),
                         [](const ::testing::TestParamInfo<PublicEntries::ParamType>& info) {
                             return std::get<0>(info.param).name + "_" +
                                    std::get<1>(info.param).name;
                         });

TEST_F(HostileTextFixture, HostileKeysAreReplacedToo) {
    LogCapture log(Level::Debug);
    const std::string key = "key\xff\xc0\xaf";
    EXPECT_NO_THROW(SDK::configureScope([&](Scope& scope) {
        scope.setTagValue("tag", key);
        scope.setExtraValue("extra", key);
        scope.setContextValue(Json{{key, "context"}}, key);
    }));
    EXPECT_NO_THROW(SDK::captureMessage("m"));
    const Json event = newestItem("event");
    ASSERT_TRUE(event.is_object());
    const std::string replaced = std::string("key") + kReplacement;
    auto startsWithReplacedKey = [&](const Json& object) {
        for (const auto& [name, value] : object.items()) {
            if (name.rfind(replaced, 0) == 0) return true;
        }
        return false;
    };
    EXPECT_TRUE(startsWithReplacedKey(event["tags"]));
    EXPECT_TRUE(startsWithReplacedKey(event["extra"]));
    EXPECT_TRUE(startsWithReplacedKey(event["contexts"]));
}

TEST_F(HostileTextFixture, AttachedFilesWhoseNamesAreNotUtf8AreSent) {
    LogCapture log(Level::Debug);
    const auto path = root / "report\xff\xc0\xaf.txt";
    {
        std::ofstream file(path, std::ios::binary);
        file << "contents\xff";
    }
    SDK::configureScope(
        [&](Scope& scope) { scope.addAttachment(Attachment::fromPath(path.string())); });
    EXPECT_NO_THROW(SDK::captureMessage("m"));
    const auto envelopes = transport->envelopes();
    ASSERT_FALSE(envelopes.empty());
    auto bytes = Serialization::dataWithEnvelope(*envelopes.back());
    ASSERT_TRUE(bytes);
    auto parsed = Serialization::envelopeWithData(*bytes);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->items().size(), 2u);
    const auto& attachment = *parsed->items()[1];
    EXPECT_EQ(attachment.header()->filename(),
              std::string("report") + kReplacement + kReplacement + kReplacement + ".txt");
    // Attachments are bytes: sent as they are.
    EXPECT_EQ(attachment.data(), "contents\xff");
}

TEST_F(HostileTextFixture, APublicKeyThatIsNotUtf8ReachesTheEnvelopeHeaderReplaced) {
    LogCapture log(Level::Debug);
    options->setDsn("http://key%FF%C0%AF@127.0.0.1:9/42");
    ASSERT_TRUE(options->parsedDsn);
    // Errors carry a trace header with the public key.
    EXPECT_NO_THROW(SDK::captureError(Error("D", 1, "x")));
    const auto envelopes = transport->envelopes();
    ASSERT_FALSE(envelopes.empty());
    auto bytes = Serialization::dataWithEnvelope(*envelopes.back());
    ASSERT_TRUE(bytes);
    auto header = parseJsonBytes(bytes->substr(0, bytes->find('\n')));
    ASSERT_TRUE(header);
    EXPECT_EQ((*header)["trace"]["public_key"],
              std::string("key") + kReplacement + kReplacement + kReplacement);
}

TEST_F(HostileTextFixture, AnSdkNameOrVersionWithControlCharactersIsRefused) {
    LogCapture log(Level::Error);
    const auto name = PrivateSDKOnly::getSdkName();
    const auto version = PrivateSDKOnly::getSdkVersionString();
    PrivateSDKOnly::setSdkName("wrapper\r\nX-Other: 1", "1.0");
    PrivateSDKOnly::setSdkName("wrapper", std::string("1.0\0", 4));
    PrivateSDKOnly::setSdkName("wrapper\x1b");
    EXPECT_EQ(PrivateSDKOnly::getSdkName(), name);
    EXPECT_EQ(PrivateSDKOnly::getSdkVersionString(), version);
    EXPECT_EQ(log.count("holds control characters"), 3u);

    // Text that is not UTF-8 is kept; the envelope header gets it replaced.
    PrivateSDKOnly::setSdkName("wrapper\xff", "2.0");
    EXPECT_NO_THROW(SDK::captureMessage("m"));
    PrivateSDKOnly::setSdkName(name, version);
    auto bytes = Serialization::dataWithEnvelope(*transport->envelopes().back());
    ASSERT_TRUE(bytes);
    auto header = parseJsonBytes(bytes->substr(0, bytes->find('\n')));
    ASSERT_TRUE(header);
    EXPECT_EQ((*header)["sdk"]["name"], std::string("wrapper") + kReplacement);
}

// The SDK started for real, with hostile options: the crash reporter's scope
// copy, the session and the disk cache all see the text.
class HostileStart : public FileManagerFixture {
  protected:
    void TearDown() override {
        SDK::close();
        FileManagerFixture::TearDown();
    }
};

TEST_F(HostileStart, ReleaseEnvironmentAndDistWithInvalidUtf8AreStoredReplaced) {
    const std::string bad = "app\xff@1.0\xc0\xaf";
    auto started = std::make_shared<Options>();
    // Nothing listens on this port: envelopes stay on disk.
    started->setDsn("http://public@127.0.0.1:9/42");
    started->cacheDirectoryPath = (root / "sdk-cache").string();
    started->debug = true;
    started->releaseName = bad;
    started->environment = "env\xe2\x82";
    started->dist = "dist\xed\xa0\x80";
    LogCapture log(Level::Debug);

    EXPECT_NO_THROW(SDK::startWithOptions(started));
    ASSERT_TRUE(SDK::isEnabled());
    EXPECT_NO_THROW(SDK::startSession());
    EXPECT_NO_THROW(SDK::configureScope([&](Scope& scope) {
        scope.setTagValue(bad, "tag");
        scope.setUser(userOf(bad));
    }));
    Id id;
    EXPECT_NO_THROW(id = SDK::captureMessage("stored"));
    ASSERT_NE(id, Id::empty());
    EXPECT_NO_THROW(SDK::endSession());

    auto client = SDK::currentHub()->getClient();
    Json event;
    ASSERT_TRUE(eventually([&] {
        for (const auto& file : client->fileManager()->getAllEnvelopes()) {
            auto envelope = Serialization::envelopeWithData(file.contents);
            if (!envelope || !envelope->header()->eventId() || *envelope->header()->eventId() != id)
                continue;
            for (const auto& item : envelope->items()) {
                if (item->header()->type() == "event")
                    event = parseJsonBytes(item->data()).value_or(Json());
            }
        }
        return event.is_object();
    }));
    const std::string replacedRelease = std::string("app") + kReplacement + "@1.0";
    EXPECT_EQ(event["release"].get<std::string>().rfind(replacedRelease, 0), 0u);
    EXPECT_NE(event["environment"].get<std::string>().find(kReplacement), std::string::npos);
    EXPECT_NE(event["dist"].get<std::string>().find(kReplacement), std::string::npos);
    EXPECT_EQ(event["tags"]["tag"].get<std::string>().rfind(replacedRelease, 0), 0u);
    EXPECT_EQ(event["user"]["id"].get<std::string>().rfind(replacedRelease, 0), 0u);

    // Crash reports carry the scope of the start, also with the bad release.
    const auto crashUserInfo = crash::CrashReporter::shared().userInfo();
    ASSERT_TRUE(crashUserInfo);
    EXPECT_EQ((*crashUserInfo)["release"].get<std::string>().rfind(replacedRelease, 0), 0u);
}

}  // namespace
}  // namespace skald::test
