#include "crash/async_safe/machine_context.h"

#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crash/async_safe/stack_cursor.h"

namespace skald::crash {
namespace {

pid_t currentThread() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

constexpr int kR12 = 12, kRip = 16, kRflags = 17, kCs = 18, kFs = 19, kGs = 20;
constexpr uint64_t kMarker = 0x1122334455667788ULL;

// --- Real faults -----------------------------------------------------------------

uintptr_t gFaultIp = 0;
sigjmp_buf gJump;
MachineContext gFaultContext;

void onFault(int, siginfo_t*, void* userContext) {
    getContextForSignal(userContext, &gFaultContext, true);
    siglongjmp(gJump, 1);
}

/// Reads `address` with a recognisable r12 and records the reading instruction's address.
__attribute__((noinline)) void faultAt(const void* address) {
    asm volatile(
        "movabsq $0x1122334455667788, %%r12\n\t"
        "leaq 1f(%%rip), %%rax\n\t"
        "movq %%rax, %[ip]\n\t"
        "1: movq (%[address]), %%rax\n\t"
        : [ip] "=m"(gFaultIp)
        : [address] "r"(address)
        : "rax", "r12", "memory");
}

__attribute__((noinline)) int recurseThenFault(int depth, const void* address) {
    volatile int keep = depth;
    if (depth <= 0) {
        faultAt(address);
        return 0;
    }
    // The addition after the call keeps this a real recursion.
    return recurseThenFault(depth - 1, address) + keep;
}

/// A PROT_NONE page; reading it raises SIGSEGV, caught into gFaultContext.
class RealFault : public ::testing::Test {
  protected:
    void SetUp() override {
        page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        guard = ::mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(guard, MAP_FAILED);
        struct sigaction action {};
        action.sa_sigaction = onFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(::sigaction(SIGSEGV, &action, &previous), 0);
    }
    void TearDown() override {
        ::sigaction(SIGSEGV, &previous, nullptr);
        ::munmap(guard, page);
    }
    /// Faults `depth` frames down; true when the fault was caught.
    bool faultAtDepth(int depth, size_t offset) {
        gFaultContext = MachineContext{};
        const char* address = static_cast<const char*>(guard) + offset;
        if (sigsetjmp(gJump, 1) == 0) {
            recurseThenFault(depth, address);
            return false;
        }
        return true;
    }

    size_t page = 0;
    void* guard = nullptr;
    struct sigaction previous {};
};

TEST_F(RealFault, SignalContextHoldsTheFaultingInstructionAndAddress) {
    ASSERT_TRUE(faultAtDepth(0, 24));
    const MachineContext& context = gFaultContext;
    EXPECT_TRUE(context.hasRegisters);
    EXPECT_TRUE(context.isSignalContext);
    EXPECT_TRUE(context.isCrashedContext);
    EXPECT_TRUE(context.isCurrentThread);
    EXPECT_FALSE(context.isStackOverflow);
    EXPECT_EQ(context.thread, currentThread());
    EXPECT_EQ(instructionAddress(&context), gFaultIp);
    EXPECT_EQ(context.exception.faultvaddr, reinterpret_cast<uintptr_t>(guard) + 24);
    EXPECT_EQ(exceptionRegisterValue(&context, 2), context.exception.faultvaddr);
    EXPECT_EQ(context.exception.trapno, 14u);  // page fault
    EXPECT_EQ(context.registers.r12, kMarker);
    EXPECT_EQ(registerValue(&context, kR12), kMarker);
    EXPECT_EQ(registerValue(&context, kCs), 0x33u);  // the 64-bit user code segment
    // The stack pointer lies in this thread's stack, below this frame.
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    EXPECT_LT(stackPointer(&context), here);
    EXPECT_GT(stackPointer(&context), here - 64 * 1024);
    EXPECT_GE(framePointer(&context), stackPointer(&context));
    // Without a suspension a crashed context lists only itself.
    ASSERT_EQ(threadCount(&context), 1);
    EXPECT_EQ(threadAt(&context, 0), currentThread());
    EXPECT_EQ(indexOfThread(&context, currentThread()), 0);
    EXPECT_EQ(indexOfThread(&context, currentThread() + 100000), -1);
    EXPECT_EQ(threadAt(&context, 1), 0);

    // The walk starts at the fault (the frames below it are gone once the
    // handler has jumped back out).
    StackCursor cursor;
    initMachineContextCursor(&cursor, 50, &context);
    ASSERT_TRUE(advanceCursor(&cursor));
    EXPECT_EQ(cursor.stackEntry.address, gFaultIp);
    EXPECT_FALSE(cursor.hasGivenUp);
}

TEST_F(RealFault, DeepRecursionIsAStackOverflowAndAShallowOneIsNot) {
    ASSERT_TRUE(faultAtDepth(10, 0));
    EXPECT_FALSE(gFaultContext.isStackOverflow);
    ASSERT_TRUE(faultAtDepth(200, 0));
    EXPECT_TRUE(gFaultContext.isStackOverflow);
}

__attribute__((noinline)) int overflowStack(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (depth < 0) return 0;
    return overflowStack(depth + 1) + pad[0];
}

void onOverflow(int, siginfo_t*, void* userContext) {
    MachineContext context;
    getContextForSignal(userContext, &context, true);
    _exit(context.isStackOverflow ? 42 : 43);
}

TEST(StackOverflow, RealOverflowIsRecognisedOnAnAlternateStack) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(20);
        static char alternate[64 * 1024];
        stack_t stack{};
        stack.ss_sp = alternate;
        stack.ss_size = sizeof(alternate);
        if (::sigaltstack(&stack, nullptr) != 0) _exit(1);
        struct sigaction action {};
        action.sa_sigaction = onOverflow;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGSEGV, &action, nullptr);
        overflowStack(0);
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 42);
}

// --- Contexts built by hand --------------------------------------------------------

ucontext_t numberedContext() {
    ucontext_t context{};
    for (int i = 0; i < NGREG; ++i) context.uc_mcontext.gregs[i] = 0x100 + i;
    // cs, gs, fs in 16-bit parts.
    context.uc_mcontext.gregs[REG_CSGSFS] = 0x0033 | (0x002bLL << 16) | (0x0063LL << 32);
    context.uc_mcontext.gregs[REG_RBP] = 0;  // no frames to walk
    return context;
}

TEST(SignalContext, RegistersComeInTheirDocumentedOrder) {
    ucontext_t source = numberedContext();
    MachineContext context;
    getContextForSignal(&source, &context, false);
    const int order[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RDI, REG_RSI,
                         REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                         REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
    ASSERT_EQ(registerCount(), 21);
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(registerValue(&context, i),
                  static_cast<uint64_t>(source.uc_mcontext.gregs[order[i]]))
            << registerName(i);
    }
    EXPECT_EQ(registerValue(&context, kCs), 0x33u);
    EXPECT_EQ(registerValue(&context, kFs), 0x63u);
    EXPECT_EQ(registerValue(&context, kGs), 0x2bu);
    // The named fields hold the same values.
    EXPECT_EQ(context.registers.rax, static_cast<uint64_t>(source.uc_mcontext.gregs[REG_RAX]));
    EXPECT_EQ(context.registers.rip, static_cast<uint64_t>(source.uc_mcontext.gregs[REG_RIP]));
    EXPECT_EQ(context.registers.rflags, static_cast<uint64_t>(source.uc_mcontext.gregs[REG_EFL]));
    EXPECT_EQ(context.registers.cs, 0x33u);
    EXPECT_EQ(context.registers.fs, 0x63u);
    EXPECT_EQ(context.registers.gs, 0x2bu);
    EXPECT_STREQ(registerName(kRip), "rip");
    EXPECT_STREQ(registerName(kRflags), "rflags");
    EXPECT_STREQ(registerName(kGs), "gs");
    EXPECT_EQ(registerName(21), nullptr);
    EXPECT_EQ(registerName(-1), nullptr);
    EXPECT_EQ(registerValue(&context, 21), 0u);
    ASSERT_EQ(exceptionRegisterCount(), 3);
    EXPECT_STREQ(exceptionRegisterName(0), "trapno");
    EXPECT_STREQ(exceptionRegisterName(2), "faultvaddr");
    EXPECT_EQ(exceptionRegisterName(3), nullptr);
    EXPECT_EQ(exceptionRegisterValue(&context, 0),
              static_cast<uint64_t>(source.uc_mcontext.gregs[REG_TRAPNO]));
    EXPECT_EQ(exceptionRegisterValue(&context, 1),
              static_cast<uint64_t>(source.uc_mcontext.gregs[REG_ERR]));
    EXPECT_EQ(exceptionRegisterValue(&context, 2),
              static_cast<uint64_t>(source.uc_mcontext.gregs[REG_CR2]));
    // Not crashed: no thread list, no overflow check.
    EXPECT_EQ(threadCount(&context), 0);
    EXPECT_FALSE(context.isCrashedContext);
}

TEST(SignalContext, PageFaultJustBelowTheStackPointerIsAnOverflow) {
    ucontext_t source = numberedContext();
    const greg_t sp = 0x7ffd00010000;
    source.uc_mcontext.gregs[REG_RSP] = sp;
    source.uc_mcontext.gregs[REG_TRAPNO] = 14;
    MachineContext context;
    source.uc_mcontext.gregs[REG_CR2] = sp - 8;  // a call's push
    getContextForSignal(&source, &context, true);
    EXPECT_TRUE(context.isStackOverflow);
    source.uc_mcontext.gregs[REG_CR2] = 0x10;  // a null dereference
    getContextForSignal(&source, &context, true);
    EXPECT_FALSE(context.isStackOverflow);
    source.uc_mcontext.gregs[REG_CR2] = sp - 8;
    source.uc_mcontext.gregs[REG_TRAPNO] = 13;  // not a page fault: CR2 means nothing
    getContextForSignal(&source, &context, true);
    EXPECT_FALSE(context.isStackOverflow);
}

TEST(CurrentThreadContext, HasNoRegistersAndListsItself) {
    MachineContext context;
    getContextForCurrentThread(&context, true);
    EXPECT_EQ(context.thread, currentThread());
    EXPECT_TRUE(context.isCurrentThread);
    EXPECT_TRUE(context.isCrashedContext);
    EXPECT_FALSE(context.hasRegisters);
    EXPECT_FALSE(context.isSignalContext);
    ASSERT_EQ(threadCount(&context), 1);
    EXPECT_EQ(threadAt(&context, 0), currentThread());
    StackCursor cursor;
    initMachineContextCursor(&cursor, 10, &context);
    EXPECT_FALSE(advanceCursor(&cursor));
    EXPECT_FALSE(cursor.hasGivenUp);
    getContextForCurrentThread(&context, false);
    EXPECT_EQ(threadCount(&context), 0);
}

// --- Cursor over a hand-made frame chain -------------------------------------------

/// A page of frame records followed by a page that cannot be read.
class FrameChain : public ::testing::Test {
  protected:
    void SetUp() override {
        page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        void* mapping =
            ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(mapping, MAP_FAILED);
        words = static_cast<uintptr_t*>(mapping);
        guard = reinterpret_cast<uintptr_t>(mapping) + page;
        ASSERT_EQ(::mprotect(reinterpret_cast<void*>(guard), page, PROT_NONE), 0);
    }
    void TearDown() override { ::munmap(words, 2 * page); }

    /// Frame k at words[4k] holds the next frame and return address 0x1000 + k;
    /// the last one points to `lastNext`.
    uintptr_t chain(int frames, uintptr_t lastNext) {
        for (int k = 0; k < frames; ++k) {
            words[4 * k] =
                k + 1 < frames ? reinterpret_cast<uintptr_t>(&words[4 * (k + 1)]) : lastNext;
            words[4 * k + 1] = 0x1000 + k;
        }
        return reinterpret_cast<uintptr_t>(words);
    }
    MachineContext contextAt(uintptr_t rip, uintptr_t rbp) {
        MachineContext context{};
        context.hasRegisters = true;
        context.registers.rip = rip;
        context.registers.rbp = rbp;
        return context;
    }
    static std::vector<uintptr_t> walk(StackCursor* cursor) {
        std::vector<uintptr_t> out;
        while (advanceCursor(cursor)) out.push_back(cursor->stackEntry.address);
        return out;
    }

    size_t page = 0;
    uintptr_t* words = nullptr;
    uintptr_t guard = 0;
};

TEST_F(FrameChain, EndsAtAnUnreadableFrameWithoutFaulting) {
    const MachineContext context = contextAt(0xAAAA, chain(3, guard + 16));
    StackCursor cursor;
    initMachineContextCursor(&cursor, 100, &context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0xAAAA, 0x1000, 0x1001, 0x1002}));
    EXPECT_FALSE(cursor.hasGivenUp);
    // Reset walks the same frames again.
    resetCursor(&cursor);
    EXPECT_EQ(walk(&cursor).size(), 4u);
    // A frame pointer straight into unmapped memory gives just the instruction.
    const MachineContext wild = contextAt(0xAAAA, guard);
    initMachineContextCursor(&cursor, 100, &wild);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0xAAAA}));
}

TEST_F(FrameChain, EndsAtABrokenOrFinishedChain) {
    StackCursor cursor;
    // Pointing back down: the record's own return address still counts.
    MachineContext context = contextAt(0xAAAA, chain(3, reinterpret_cast<uintptr_t>(words)));
    initMachineContextCursor(&cursor, 100, &context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0xAAAA, 0x1000, 0x1001, 0x1002}));
    // A zero frame pointer ends the chain.
    context = contextAt(0xAAAA, chain(2, 0));
    initMachineContextCursor(&cursor, 100, &context);
    EXPECT_EQ(walk(&cursor).size(), 3u);
    // A zero return address ends it before that frame.
    chain(4, 0);
    words[4 * 2 + 1] = 0;
    initMachineContextCursor(&cursor, 100, &context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0xAAAA, 0x1000, 0x1001}));
    // A misaligned frame pointer is not followed.
    chain(4, 0);
    words[4 * 1] = reinterpret_cast<uintptr_t>(&words[4 * 2]) + 3;
    initMachineContextCursor(&cursor, 100, &context);
    EXPECT_EQ(walk(&cursor), (std::vector<uintptr_t>{0xAAAA, 0x1000, 0x1001}));
    EXPECT_FALSE(cursor.hasGivenUp);
}

TEST_F(FrameChain, GivesUpOnlyWhenFramesRemainAtTheLimit) {
    const MachineContext context = contextAt(0xAAAA, chain(9, 0));  // 10 entries in all
    StackCursor cursor;
    initMachineContextCursor(&cursor, 5, &context);
    EXPECT_EQ(walk(&cursor).size(), 5u);
    EXPECT_TRUE(cursor.hasGivenUp);
    initMachineContextCursor(&cursor, 10, &context);
    EXPECT_EQ(walk(&cursor).size(), 10u);
    EXPECT_FALSE(cursor.hasGivenUp);
}

TEST(SnapshotCursor, WalksTheRecordedFrames) {
    static ThreadSnapshot snapshot{};
    snapshot.captured = true;
    snapshot.frameCount = 3;
    snapshot.frames[0] = 0x10;
    snapshot.frames[1] = 0x20;
    snapshot.frames[2] = 0x30;
    snapshot.registers.rip = 0x999;  // the recorded frames win over registers
    MachineContext context{};
    context.hasRegisters = true;
    context.registers.rip = 0x999;
    context.snapshot = &snapshot;
    StackCursor cursor;
    initMachineContextCursor(&cursor, 100, &context);
    std::vector<uintptr_t> frames;
    while (advanceCursor(&cursor)) frames.push_back(cursor.stackEntry.address);
    EXPECT_EQ(frames, (std::vector<uintptr_t>{0x10, 0x20, 0x30}));
    EXPECT_FALSE(cursor.hasGivenUp);
    // The thread's own walk was cut short: so is this one.
    snapshot.framesTruncated = true;
    initMachineContextCursor(&cursor, 100, &context);
    while (advanceCursor(&cursor)) {
    }
    EXPECT_EQ(cursor.depth, 3);
    EXPECT_TRUE(cursor.hasGivenUp);
    // A lower limit gives up as well.
    snapshot.framesTruncated = false;
    initMachineContextCursor(&cursor, 2, &context);
    while (advanceCursor(&cursor)) {
    }
    EXPECT_EQ(cursor.depth, 2);
    EXPECT_TRUE(cursor.hasGivenUp);
    // A thread that did not answer has no frames.
    snapshot.captured = false;
    initMachineContextCursor(&cursor, 100, &context);
    EXPECT_FALSE(advanceCursor(&cursor));
}

}  // namespace
}  // namespace skald::crash
