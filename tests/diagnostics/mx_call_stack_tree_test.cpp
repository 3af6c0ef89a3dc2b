// The call-stack tree: decoding, the flattened orders, and its JSON form.
#include <gtest/gtest.h>

#include <vector>

#include "core/diagnostics/mx_call_stack_tree.h"
#include "skald/json.h"

namespace skald::test {
namespace {

Json frame(uint64_t address, Json subFrames = nullptr) {
    Json json = {{"binaryUUID", "1f2e3d4c-5b6a-4798-8a7b-6c5d4e3f2a10"},
                 {"offsetIntoBinaryTextSegment", -16},
                 {"address", address}};
    if (!subFrames.is_null()) json["subFrames"] = std::move(subFrames);
    return json;
}

std::vector<uint64_t> addresses(const std::vector<const MXFrame*>& frames) {
    std::vector<uint64_t> result;
    for (const MXFrame* frame : frames) result.push_back(frame->address);
    return result;
}

// Two roots: 1 -> (2 -> (3, 4), 5) and 6.
const Json kTree = {
    {"callStackPerThread", false},
    {"callStacks",
     Json::array(
         {Json{{"threadAttributed", true},
               {"callStackRootFrames",
                Json::array(
                    {frame(1, Json::array({frame(2, Json::array({frame(3), frame(4)})), frame(5)})),
                     frame(6)})}}})}};

TEST(MXCallStackTreeTest, FlattensEachRootAndItsSubFramesInPreOrder) {
    const auto tree = MXCallStackTree::fromData(kTree.dump());
    ASSERT_TRUE(tree);
    ASSERT_EQ(tree->callStacks.size(), 1u);
    const MXCallStack& stack = tree->callStacks[0];
    EXPECT_EQ(stack.threadAttributed, true);
    EXPECT_EQ(addresses(stack.flattenedRootFrames()), (std::vector<uint64_t>{1, 2, 3, 4, 5, 6}));
    const MXFrame& root = stack.callStackRootFrames[0];
    EXPECT_EQ(addresses(root.frames()), (std::vector<uint64_t>{2, 3, 4, 5}));
    EXPECT_EQ(addresses(root.framesIncludingSelf()), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(stack.callStackRootFrames[1].frames().empty());
}

TEST(MXCallStackTreeTest, KeepsEveryFieldAndWritesTheSameJsonBack) {
    Json full = frame(0xffffffffffffffffULL);
    full["binaryName"] = "DemoApp";
    full["sampleCount"] = 7;
    const Json json = {
        {"callStacks", Json::array({Json{{"callStackRootFrames", Json::array({full})}}})},
        {"callStackPerThread", true}};
    const auto tree = MXCallStackTree::fromJson(json);
    ASSERT_TRUE(tree);
    EXPECT_TRUE(tree->callStackPerThread);
    EXPECT_FALSE(tree->callStacks[0].threadAttributed);
    const MXFrame& decoded = tree->callStacks[0].callStackRootFrames[0];
    EXPECT_EQ(decoded.address, 0xffffffffffffffffULL);
    EXPECT_EQ(decoded.offsetIntoBinaryTextSegment, -16);
    EXPECT_EQ(decoded.binaryName, "DemoApp");
    EXPECT_EQ(decoded.sampleCount, 7);
    // UUIDs are kept in one canonical form, whatever case they came in.
    EXPECT_EQ(decoded.binaryUUID, "1F2E3D4C-5B6A-4798-8A7B-6C5D4E3F2A10");

    const auto again = MXCallStackTree::fromJson(tree->serialize());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->serialize(), tree->serialize());
    const auto nested = MXCallStackTree::fromJson(MXCallStackTree::fromJson(kTree)->serialize());
    ASSERT_TRUE(nested);
    EXPECT_EQ(addresses(nested->callStacks[0].flattenedRootFrames()),
              (std::vector<uint64_t>{1, 2, 3, 4, 5, 6}));
}

TEST(MXCallStackTreeTest, TextThatIsNotJsonDoesNotDecode) {
    std::string error;
    EXPECT_FALSE(MXCallStackTree::fromData("{\"callStacks\": [", &error));
    EXPECT_NE(error.find("not JSON"), std::string::npos);
}

}  // namespace
}  // namespace skald::test
