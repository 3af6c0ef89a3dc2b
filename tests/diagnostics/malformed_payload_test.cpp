// Broken and hostile payloads: a log line, no event, bounded work, never a crash.
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/diagnostics_fixture.h"
#include "support/log_capture.h"
#include "util/measurement_formatter.h"

namespace skald::test {
namespace {

Json frame(uint64_t address) {
    return Json{{"binaryUUID", "9E8D5C8A-1D2B-4F3E-8A7B-6C5D4E3F2A10"},
                {"offsetIntoBinaryTextSegment", 0},
                {"binaryName", "DemoApp"},
                {"address", address}};
}

Json diskWritePayload(Json tree) {
    return Json{{"timeStampBegin", 1765360800},
                {"timeStampEnd", 1765447200},
                {"diskWriteExceptionDiagnostics",
                 Json::array({Json{{"totalWritesCaused", {{"value", 1}, {"unit", "MB"}}},
                                   {"callStackTree", std::move(tree)}}})}};
}

Json treeOf(Json rootFrames, bool perThread = false) {
    return Json{
        {"callStackPerThread", perThread},
        {"callStacks", Json::array({Json{{"callStackRootFrames", std::move(rootFrames)}}})}};
}

/// A chain of `depth` frames, each the only sub-frame of the one before.
Json chain(int depth) {
    Json frames = frame(static_cast<uint64_t>(depth));
    for (int i = depth - 1; i > 0; --i) {
        Json parent = frame(static_cast<uint64_t>(i));
        parent["subFrames"] = Json::array({std::move(frames)});
        frames = std::move(parent);
    }
    return frames;
}

class MalformedPayloadTest : public DiagnosticsFixture {};

TEST_F(MalformedPayloadTest, TextThatIsNotAPayloadIsLoggedAndGivesNoEvent) {
    install();
    const Json valid = Json::parse(diagnosticFixture("disk_write_exception.json"));
    auto without = [&](const char* key) {
        Json copy = valid;
        copy.erase(key);
        return copy.dump();
    };
    auto withDiagnosticField = [&](const char* key, Json value) {
        Json copy = valid;
        copy["diskWriteExceptionDiagnostics"][0][key] = std::move(value);
        return copy.dump();
    };
    const std::string cases[] = {
        "",
        "not json",
        diagnosticFixture("disk_write_exception.json").substr(0, 200),  // cut short
        "42",
        "[1, 2]",
        without("timeStampBegin"),
        without("timeStampEnd"),
        [&] {
            Json c = valid;
            c["timeStampBegin"] = "yesterday";
            return c.dump();
        }(),
        [&] {
            Json c = valid;
            c["diskWriteExceptionDiagnostics"] = Json::object();
            return c.dump();
        }(),
        [&] {
            Json c = valid;
            c["hangDiagnostics"] = Json::array({"hang"});
            return c.dump();
        }(),
        withDiagnosticField("totalWritesCaused", 12),
        withDiagnosticField("totalWritesCaused", Json{{"value", "12"}, {"unit", "MB"}}),
        withDiagnosticField("totalWritesCaused", Json{{"value", 12}}),
        withDiagnosticField("applicationVersion", 3),
        [&] {
            Json c = valid;
            c["diskWriteExceptionDiagnostics"][0].erase("callStackTree");
            return c.dump();
        }(),
        // A valid payload next to a broken one: the whole text is refused.
        Json::array({valid, 7}).dump(),
        std::string(100000, '[') + std::string(100000, ']'),
    };
    for (const auto& text : cases) {
        SCOPED_TRACE(text.substr(0, 120));
        LogCapture log;
        EXPECT_FALSE(deliverDiagnosticPayloadsJson(text));
        EXPECT_TRUE(log.contains("Could not read the diagnostic payload"));
    }
    EXPECT_TRUE(events().empty());
}

TEST_F(MalformedPayloadTest, ATreeThatDoesNotDecodeSkipsOnlyItsDiagnostic) {
    install();
    Json payload = Json::parse(diagnosticFixture("every_kind.json"))[0];
    payload.erase("crashDiagnostics");
    Json badFrame = frame(1);
    badFrame["binaryUUID"] = "not-a-uuid";
    payload["cpuExceptionDiagnostics"][0]["callStackTree"] = treeOf(Json::array({badFrame}));
    payload["hangDiagnostics"][0]["callStackTree"] = "a tree";
    LogCapture log;
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(payload.dump()));
    const auto sent = events();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["exception"]["values"][0]["type"], "MXDiskWriteException");
    EXPECT_EQ(log.count("does not decode"), 2u);
}

TEST_F(MalformedPayloadTest, FramesOfTheWrongShapeDoNotDecode) {
    const Json good = frame(4096);
    auto changed = [&](const char* key, Json value) {
        Json copy = good;
        copy[key] = std::move(value);
        return treeOf(Json::array({copy}));
    };
    auto dropped = [&](const char* key) {
        Json copy = good;
        copy.erase(key);
        return treeOf(Json::array({copy}));
    };
    const Json cases[] = {
        changed("address", -1),
        changed("address", 1.5),
        changed("address", "0x1000"),
        changed("offsetIntoBinaryTextSegment", "512"),
        changed("binaryUUID", "9E8D5C8A"),
        changed("binaryName", 7),
        changed("sampleCount", "many"),
        changed("subFrames", Json::object()),
        dropped("address"),
        dropped("binaryUUID"),
        dropped("offsetIntoBinaryTextSegment"),
        Json{{"callStacks", Json::array()}},
        Json{{"callStackPerThread", false}},
        Json{{"callStackPerThread", false}, {"callStacks", Json::array({7})}},
        treeOf(Json::array({chain(MXCallStackTree::kMaxFrameDepth + 1)})),
    };
    for (const auto& tree : cases) {
        SCOPED_TRACE(tree.dump().substr(0, 160));
        std::string error;
        EXPECT_FALSE(MXCallStackTree::fromJson(tree, &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(
        MXCallStackTree::fromJson(treeOf(Json::array({chain(MXCallStackTree::kMaxFrameDepth)}))));
}

TEST_F(MalformedPayloadTest, DeepChainsWithinTheLimitsGiveOneEventAndDeeperOnesNone) {
    install();
    // Deep enough for the tree's limit, shallow enough for the text's.
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(
        diskWritePayload(treeOf(Json::array({chain(MXCallStackTree::kMaxFrameDepth + 1)})))
            .dump()));
    EXPECT_TRUE(events().empty());
    ASSERT_TRUE(
        deliverDiagnosticPayloadsJson(diskWritePayload(treeOf(Json::array({chain(400)}))).dump()));
    const auto sent = events();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["exception"]["values"][0]["stacktrace"]["frames"].size(), 400u);
    // Deeper than the text's limit: refused before parsing.
    EXPECT_FALSE(
        deliverDiagnosticPayloadsJson(diskWritePayload(treeOf(Json::array({chain(600)}))).dump()));
}

TEST_F(MalformedPayloadTest, ATreeWithThousandsOfLeavesGivesAtMostAHundredEvents) {
    install();
    Json root = frame(1);
    root["subFrames"] = Json::array();
    for (uint64_t i = 0; i < 5000; ++i) root["subFrames"].push_back(frame(0x10000 + i));
    LogCapture log;
    ASSERT_TRUE(
        deliverDiagnosticPayloadsJson(diskWritePayload(treeOf(Json::array({root}))).dump()));
    EXPECT_EQ(events().size(), MXEventBuilder::kMaxEventsPerDiagnostic);
    EXPECT_EQ(log.count("the rest are not reported"), 1u);
}

TEST(MeasurementFormatterTest, WritesTheValueInItsOwnUnitAsInTheUnitedStates) {
    EXPECT_EQ(formatMeasurement(90, "sec"), "90 sec");
    EXPECT_EQ(formatMeasurement(1234.5, "sec"), "1,234.5 sec");
    EXPECT_EQ(formatMeasurement(0.05, "sec"), "0.05 sec");
    EXPECT_EQ(formatMeasurement(1234567.8915, "MB"), "1,234,567.892 MB");
    EXPECT_EQ(formatMeasurement(-2.5, "ms"), "-2.5 ms");
    EXPECT_EQ(formatMeasurement(-0.0001, "ms"), "0 ms");
    EXPECT_EQ(formatMeasurement(3, ""), "3");
    EXPECT_EQ(formatMeasurement(1e300, "B"), "1e+300 B");
}

}  // namespace
}  // namespace skald::test
