#include "skald/stacktrace.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace skald {
namespace {

std::shared_ptr<Frame> frame(std::string symbol, std::string instruction) {
    auto f = std::make_shared<Frame>();
    f->symbolAddress = std::move(symbol);
    f->instructionAddress = std::move(instruction);
    return f;
}

TEST(Frame, NewFrameIsRedactedAndWritesSetKeysInOrder) {
    EXPECT_EQ(Frame().serialize().dump(), R"({"function":"<redacted>"})");

    Frame f;
    f.symbolAddress = "0x1000";
    f.fileName = "main.cpp";
    f.function = "main";
    f.module = "installer";
    f.lineNumber = 12;
    f.columnNumber = 3;
    f.package = "/usr/bin/installer";
    f.imageAddress = "0x400000";
    f.instructionAddress = "0x1010";
    f.platform = "native";
    f.inApp = true;
    f.stackStart = false;
    f.instruction = 0x1010;
    EXPECT_EQ(f.serialize().dump(),
              R"({"symbol_addr":"0x1000","filename":"main.cpp","function":"main",)"
              R"("module":"installer","lineno":12,"colno":3,"package":"/usr/bin/installer",)"
              R"("image_addr":"0x400000","instruction_addr":"0x1010","platform":"native",)"
              R"("in_app":true,"stack_start":false})");
}

TEST(Stacktrace, WritesFramesRegistersAndSnapshot) {
    Stacktrace trace({frame("0x1", "0x2")}, {{"lr", "0x5"}, {"pc", "0x6"}});
    trace.snapshot = false;
    EXPECT_EQ(
        trace.serialize().dump(),
        R"({"frames":[{"symbol_addr":"0x1","function":"<redacted>","instruction_addr":"0x2"}],)"
        R"("registers":{"lr":"0x5","pc":"0x6"},"snapshot":false})");
}

TEST(Stacktrace, LeavesOutFramesThatSerializeToNothing) {
    auto blank = std::make_shared<Frame>();
    blank->function.reset();
    Stacktrace trace({blank, nullptr, blank}, {});
    EXPECT_EQ(trace.serialize(), Json::object());

    trace.frames.push_back(frame("0x1", "0x2"));
    const Json json = trace.serialize();
    EXPECT_EQ(json["frames"].size(), 1u);
    EXPECT_FALSE(json.contains("registers"));
}

TEST(Stacktrace, FixDuplicateFramesRemovesTheLinkRegisterDuplicate) {
    test::LogCapture log;
    Stacktrace trace({frame("0xa", "0x10"), frame("0xb", "0x20"), frame("0xb", "0x30")},
                     {{"lr", "0x20"}});
    trace.fixDuplicateFrames();
    ASSERT_EQ(trace.frames.size(), 2u);
    EXPECT_EQ(trace.frames[0]->instructionAddress, "0x10");
    EXPECT_EQ(trace.frames[1]->instructionAddress, "0x30");
    EXPECT_TRUE(log.contains("Found duplicate frame, removing one with link register"));
}

TEST(Stacktrace, FixDuplicateFramesLeavesOtherTracesAlone) {
    const auto unchanged = [](Stacktrace trace) {
        const size_t before = trace.frames.size();
        trace.fixDuplicateFrames();
        return trace.frames.size() == before;
    };
    // Different symbols.
    EXPECT_TRUE(
        unchanged(Stacktrace({frame("0xa", "0x20"), frame("0xb", "0x30")}, {{"lr", "0x20"}})));
    // Link register elsewhere.
    EXPECT_TRUE(
        unchanged(Stacktrace({frame("0xb", "0x20"), frame("0xb", "0x30")}, {{"lr", "0x99"}})));
    // No registers, or no link register.
    EXPECT_TRUE(unchanged(Stacktrace({frame("0xb", "0x20"), frame("0xb", "0x30")}, {})));
    EXPECT_TRUE(
        unchanged(Stacktrace({frame("0xb", "0x20"), frame("0xb", "0x30")}, {{"pc", "0x20"}})));
    // A single frame.
    EXPECT_TRUE(unchanged(Stacktrace({frame("0xb", "0x20")}, {{"lr", "0x20"}})));
    // Absent symbol addresses are not equal to each other.
    auto noSymbol = std::make_shared<Frame>();
    noSymbol->instructionAddress = "0x20";
    EXPECT_TRUE(unchanged(Stacktrace({noSymbol, std::make_shared<Frame>()}, {{"lr", "0x20"}})));
}

}  // namespace
}  // namespace skald
