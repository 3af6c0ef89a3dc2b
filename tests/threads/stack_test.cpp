#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/stack_entry_mapper.h"
#include "core/stacktrace_builder.h"
#include "crash/async_safe/stack_cursor.h"
#include "crash/recording/binary_image_cache.h"
#include "crash/reporting/frame_remover.h"
#include "crash/reporting/hex_address.h"
#include "model/in_app_logic.h"
#include "threads/image_test_support.h"

namespace skald {
namespace {

using crash::StackCursor;

std::vector<uintptr_t> walk(StackCursor& cursor) {
    std::vector<uintptr_t> addresses;
    while (crash::advanceCursor(&cursor)) addresses.push_back(cursor.stackEntry.address);
    return addresses;
}

TEST(StackCursorTest, BacktraceCursorSkipsAndStopsAtZeroOrOne) {
    const uintptr_t addresses[] = {0x10, 0x20, 0x30, 1, 0x40};
    StackCursor cursor;
    crash::initBacktraceCursor(&cursor, addresses, 5, 1);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0x20, 0x30}));
    EXPECT_FALSE(crash::advanceCursor(&cursor)) << "stays at the end";
    crash::resetCursor(&cursor);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0x20, 0x30}));

    const uintptr_t withZero[] = {0x10, 0, 0x30};
    crash::initBacktraceCursor(&cursor, withZero, 3, 0);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0x10}));
    crash::initBacktraceCursor(&cursor, withZero, 3, 7);
    EXPECT_TRUE(walk(cursor).empty()) << "skipping past the end";
}

/// A fake stack: frame records at chosen word offsets of `words`.
struct FakeStack {
    uintptr_t words[64] = {};
    uintptr_t at(int index) const { return reinterpret_cast<uintptr_t>(&words[index]); }
    void record(int index, uintptr_t callerFrame, uintptr_t returnAddress) {
        words[index] = callerFrame;
        words[index + 1] = returnAddress;
    }
    uintptr_t low() const { return at(0); }
    uintptr_t high() const { return at(64); }
};

TEST(StackCursorTest, FramePointerWalkFollowsTheChainUpwards) {
    FakeStack stack;
    stack.record(4, stack.at(10), 0xA1);
    stack.record(10, stack.at(20), 0xA2);
    stack.record(20, 0, 0xA3);
    StackCursor cursor;
    crash::initFramePointerCursor(&cursor, 0xA0, stack.at(4), stack.low(), stack.high(), 0, 50);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0xA0, 0xA1, 0xA2, 0xA3}));
    EXPECT_FALSE(cursor.hasGivenUp);

    crash::initFramePointerCursor(&cursor, 0xA0, stack.at(4), stack.low(), stack.high(), 2, 50);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0xA2, 0xA3}));

    crash::initFramePointerCursor(&cursor, 0xA0, stack.at(4), stack.low(), stack.high(), 0, 2);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0xA0, 0xA1}));
    EXPECT_TRUE(cursor.hasGivenUp) << "stopped by the depth limit";
    crash::resetCursor(&cursor);
    EXPECT_FALSE(cursor.hasGivenUp);
    EXPECT_EQ(walk(cursor).size(), 2u);
}

TEST(StackCursorTest, FramePointerWalkEndsAtABrokenChainWithoutReadingIt) {
    FakeStack stack;
    StackCursor cursor;
    // Points below the stack limit: the record there must not be read.
    stack.record(4, stack.at(10), 0xA1);
    stack.record(10, 0x10, 0xA2);
    crash::initFramePointerCursor(&cursor, 0xA0, stack.at(4), stack.low(), stack.high(), 0, 50);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0xA0, 0xA1, 0xA2}));

    // Points downwards (a loop): ends instead of going round.
    stack.record(10, stack.at(4), 0xA2);
    crash::initFramePointerCursor(&cursor, 0xA0, stack.at(4), stack.low(), stack.high(), 0, 50);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0xA0, 0xA1, 0xA2}));

    // A record straddling the upper limit, a misaligned one, a zero return.
    stack.record(10, stack.at(63), 0xA2);
    crash::initFramePointerCursor(&cursor, 0xA0, stack.at(4), stack.low(), stack.high(), 0, 50);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0xA0, 0xA1, 0xA2}));
    stack.record(10, stack.at(20) + 3, 0xA2);
    crash::initFramePointerCursor(&cursor, 0xA0, stack.at(4), stack.low(), stack.high(), 0, 50);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0xA0, 0xA1, 0xA2}));
    stack.record(10, stack.at(20), 0);
    stack.record(20, 0, 0xA3);
    crash::initFramePointerCursor(&cursor, 0xA0, stack.at(4), stack.low(), stack.high(), 0, 50);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0xA0, 0xA1}));

    // A start outside the limits yields only the first address.
    crash::initFramePointerCursor(&cursor, 0xA0, stack.high() + 64, stack.low(), stack.high(), 0,
                                  50);
    EXPECT_EQ(walk(cursor), (std::vector<uintptr_t>{0xA0}));
}

TEST(StackCursorTest, SymbolicatesFromTheImageTableAndKnowsTheAsyncMarker) {
    crash::BinaryImageList::refresh();
    const uintptr_t addresses[] = {reinterpret_cast<uintptr_t>(&walk) + 1,
                                   crash::kAsyncMarkerAddress, 0x10};
    StackCursor cursor;
    crash::initBacktraceCursor(&cursor, addresses, 3, 0);
    ASSERT_TRUE(crash::advanceCursor(&cursor));
    ASSERT_TRUE(crash::symbolicateCursor(&cursor));
    EXPECT_EQ(std::string(cursor.stackEntry.imageName), test::executablePath());
    EXPECT_EQ(cursor.stackEntry.imageAddress, test::imageNamed(test::executablePath())->address);
    ASSERT_TRUE(crash::advanceCursor(&cursor));
    ASSERT_TRUE(crash::symbolicateCursor(&cursor));
    EXPECT_STREQ(cursor.stackEntry.symbolName, "__skaldcrash__async_marker__");
    EXPECT_EQ(cursor.stackEntry.imageAddress, 0u);
    ASSERT_TRUE(crash::advanceCursor(&cursor));
    EXPECT_FALSE(crash::symbolicateCursor(&cursor)) << "no image at 0x10";
}

// A known call chain. Each callee notes the return address into its caller:
// exactly the entries a frame-pointer walk must yield for the callers.
struct Chain {
    uintptr_t intoLevel1 = 0;
    uintptr_t intoLevel2 = 0;
    uintptr_t intoLevel3 = 0;
    std::shared_ptr<Stacktrace> stacktrace;
};

__attribute__((noinline)) void captureStack(StacktraceBuilder& builder, Chain& chain) {
    chain.intoLevel3 = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    chain.stacktrace = builder.buildStacktraceForCurrentThread();
    asm volatile("" ::: "memory");  // no tail call: keep this frame
}

__attribute__((noinline)) void level3(StacktraceBuilder& builder, Chain& chain) {
    chain.intoLevel2 = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    captureStack(builder, chain);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void level2(StacktraceBuilder& builder, Chain& chain) {
    chain.intoLevel1 = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    level3(builder, chain);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void level1(StacktraceBuilder& builder, Chain& chain) {
    level2(builder, chain);
    asm volatile("" ::: "memory");
}

std::vector<uintptr_t> instructions(const Stacktrace& stacktrace) {
    std::vector<uintptr_t> result;
    for (const auto& frame : stacktrace.frames) result.push_back(frame->instruction);
    return result;
}

/// Position of the three chain frames, which must follow each other in order.
long chainPosition(const Chain& chain) {
    const auto addresses = instructions(*chain.stacktrace);
    const std::vector<uintptr_t> expected = {chain.intoLevel1, chain.intoLevel2, chain.intoLevel3};
    const auto at =
        std::search(addresses.begin(), addresses.end(), expected.begin(), expected.end());
    return at == addresses.end() ? -1 : at - addresses.begin();
}

std::shared_ptr<StacktraceBuilder> makeBuilder(bool symbolicate,
                                               std::shared_ptr<crash::BinaryImageCache> cache) {
    auto logic = std::make_shared<InAppLogic>(std::vector<std::string>{"test_threads"},
                                              std::vector<std::string>{});
    auto builder = std::make_shared<StacktraceBuilder>(
        std::make_shared<crash::StackEntryMapper>(logic, std::move(cache)));
    builder->symbolicate = symbolicate;
    return builder;
}

TEST(StacktraceBuilderTest, CurrentThreadHasTheCallChainOutermostFirst) {
    auto builder = makeBuilder(true, std::make_shared<crash::BinaryImageCache>());
    Chain chain;
    level1(*builder, chain);
    ASSERT_TRUE(chain.stacktrace);
    const long at = chainPosition(chain);
    ASSERT_GE(at, 0) << "level1, level2, level3 in this order";
    const auto& frames = chain.stacktrace->frames;
    EXPECT_EQ(static_cast<size_t>(at) + 4, frames.size())
        << "the innermost frame is captureStack's, the caller of the builder";
    EXPECT_TRUE(chain.stacktrace->registers.empty());

    const auto executable = test::imageNamed(test::executablePath());
    for (size_t i = static_cast<size_t>(at); i < frames.size(); ++i) {
        EXPECT_EQ(frames[i]->package, test::executablePath());
        EXPECT_EQ(frames[i]->imageAddress, crash::hexAddress(executable->address));
        EXPECT_EQ(frames[i]->inApp, true);
        EXPECT_EQ(frames[i]->instructionAddress, crash::hexAddress(frames[i]->instruction));
    }
}

TEST(StacktraceBuilderTest, WithoutSymbolicationImagesComeFromTheCache) {
    Chain chain;
    level1(*makeBuilder(false, std::make_shared<crash::BinaryImageCache>()), chain);
    ASSERT_GE(chainPosition(chain), 0);
    const auto& frame = chain.stacktrace->frames.back();
    EXPECT_FALSE(frame->package) << "the cache is not started";
    EXPECT_FALSE(frame->imageAddress);
    EXPECT_EQ(frame->function, "<redacted>");

    auto cache = std::make_shared<crash::BinaryImageCache>();
    cache->start();
    Chain cached;
    level1(*makeBuilder(false, cache), cached);
    ASSERT_GE(chainPosition(cached), 0);
    EXPECT_EQ(cached.stacktrace->frames.back()->package, test::executablePath());
    EXPECT_EQ(cached.stacktrace->frames.back()->inApp, true);
}

TEST(StacktraceBuilderTest, SymbolicationNamesSymbolsAndSkipsUnknownAddresses) {
    auto builder = makeBuilder(true, std::make_shared<crash::BinaryImageCache>());
    const auto getpidAddress = reinterpret_cast<uintptr_t>(::dlsym(RTLD_DEFAULT, "getpid"));
    ASSERT_NE(getpidAddress, 0u);
    // As a return address: one past the call into getpid's first byte.
    const uintptr_t addresses[] = {getpidAddress + 1, 0x10};
    StackCursor cursor;
    crash::initBacktraceCursor(&cursor, addresses, 2, 0);
    const auto stacktrace = builder->buildStacktrace(cursor);
    ASSERT_EQ(stacktrace->frames.size(), 1u) << "0x10 lies in no image";
    const auto& frame = stacktrace->frames[0];
    ASSERT_TRUE(frame->function);
    EXPECT_NE(frame->function->find("getpid"), std::string::npos) << *frame->function;
    EXPECT_EQ(frame->symbolAddress, crash::hexAddress(getpidAddress));
    EXPECT_EQ(frame->inApp, false);
    EXPECT_NE(frame->package->find("libc"), std::string::npos);

    builder->symbolicate = false;
    crash::resetCursor(&cursor);
    EXPECT_EQ(builder->buildStacktrace(cursor)->frames.size(), 2u) << "kept without lookup";
}

TEST(StacktraceBuilderTest, AsyncMarkerStartsTheStackOfThePreviousFrame) {
    auto builder = makeBuilder(false, std::make_shared<crash::BinaryImageCache>());
    const uintptr_t addresses[] = {crash::kAsyncMarkerAddress, 0x100, 0x200,
                                   crash::kAsyncMarkerAddress, 0x300};
    StackCursor cursor;
    crash::initBacktraceCursor(&cursor, addresses, 5, 0);
    const auto stacktrace = builder->buildStacktrace(cursor);
    ASSERT_EQ(instructions(*stacktrace), (std::vector<uintptr_t>{0x300, 0x200, 0x100}));
    EXPECT_FALSE(stacktrace->frames[0]->stackStart);
    EXPECT_EQ(stacktrace->frames[1]->stackStart, true);
    EXPECT_FALSE(stacktrace->frames[2]->stackStart) << "a leading marker marks nothing";
}

std::shared_ptr<Frame> frameIn(const char* package) {
    auto frame = std::make_shared<Frame>();
    if (package != nullptr) frame->package = package;
    return frame;
}

TEST(FrameRemoverTest, DropsLeadingSdkFramesOnly) {
    const auto sdk = frameIn("/Apps/X.app/Frameworks/Skald.framework/Skald");
    const auto privateSdk = frameIn("/x/SKALDPRIVATE.FRAMEWORK/y");
    const auto app = frameIn("/usr/bin/host");
    const auto unknown = frameIn(nullptr);
    const auto laterSdk = frameIn("/a/skald.framework/b");

    using crash::FrameRemover;
    EXPECT_EQ(FrameRemover::removeNonSdkFrames({sdk, privateSdk, app, laterSdk}),
              (std::vector<std::shared_ptr<Frame>>{app, laterSdk}));
    EXPECT_EQ(FrameRemover::removeNonSdkFrames({sdk, unknown, app}),
              (std::vector<std::shared_ptr<Frame>>{unknown, app}))
        << "a frame without package is not the SDK's";
    EXPECT_EQ(FrameRemover::removeNonSdkFrames({sdk, privateSdk}),
              (std::vector<std::shared_ptr<Frame>>{sdk, privateSdk}))
        << "all SDK frames: kept whole";
    EXPECT_EQ(FrameRemover::removeNonSdkFrames({frameIn("/x/skald.frameworks/y")}).size(), 1u);
    EXPECT_TRUE(FrameRemover::removeNonSdkFrames({}).empty());
}

TEST(StackEntryMapperTest, MapsEntriesWithAndWithoutImages) {
    auto logic =
        std::make_shared<InAppLogic>(std::vector<std::string>{"host"}, std::vector<std::string>{});
    auto cache = std::make_shared<crash::BinaryImageCache>();
    cache->start();
    crash::BinaryImage image{};
    image.name = "/usr/bin/HostApp";
    image.address = 0x4000;
    image.size = 0x1000;
    cache->binaryImageAdded(&image);
    const crash::StackEntryMapper mapper(logic, cache);

    crash::StackEntry entry{};
    entry.address = 0x1234;
    entry.imageName = "/usr/lib/libother.so";
    entry.imageAddress = 0x1000;
    entry.symbolName = "compute";
    entry.symbolAddress = 0x1200;
    auto frame = mapper.skaldCrashStackEntryToSkaldFrame(entry);
    EXPECT_EQ(frame->instructionAddress, "0x0000000000001234");
    EXPECT_EQ(frame->symbolAddress, "0x0000000000001200");
    EXPECT_EQ(frame->function, "compute");
    EXPECT_EQ(frame->imageAddress, "0x0000000000001000");
    EXPECT_EQ(frame->package, "/usr/lib/libother.so");
    EXPECT_EQ(frame->inApp, false);

    // An image address without name: no package, no cache lookup.
    entry = crash::StackEntry{};
    entry.address = 0x4321;
    entry.imageAddress = 0x4000;
    frame = mapper.skaldCrashStackEntryToSkaldFrame(entry);
    EXPECT_EQ(frame->imageAddress, "0x0000000000004000");
    EXPECT_FALSE(frame->package);
    EXPECT_FALSE(frame->inApp);
    EXPECT_FALSE(frame->symbolAddress) << "symbol address 0 is left out";
    EXPECT_EQ(frame->function, "<redacted>");

    // No image at all: the cache gives it.
    entry = crash::StackEntry{};
    entry.address = 0x4321;
    frame = mapper.skaldCrashStackEntryToSkaldFrame(entry);
    EXPECT_EQ(frame->imageAddress, "0x0000000000004000");
    EXPECT_EQ(frame->package, "/usr/bin/HostApp");
    EXPECT_EQ(frame->inApp, true);

    entry.address = 0x9000;
    frame = mapper.skaldCrashStackEntryToSkaldFrame(entry);
    EXPECT_FALSE(frame->imageAddress) << "in no cached image";
    EXPECT_FALSE(frame->package);
    EXPECT_EQ(frame->serialize(),
              Json({{"function", "<redacted>"}, {"instruction_addr", "0x0000000000009000"}}));
}

}  // namespace
}  // namespace skald
