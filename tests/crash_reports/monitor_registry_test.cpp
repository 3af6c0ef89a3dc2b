// The registry's rules on the monitors of the table, in this process.
#include "crash/recording/monitor_activation.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "crash/async_safe/monitors.h"
#include "support/log_capture.h"

namespace skald::crash {
namespace {

MonitorContext* gLastEvent = nullptr;
int gEventCount = 0;

void recordEvent(MonitorContext* context) {
    gLastEvent = context;
    ++gEventCount;
}

class MonitorRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registry::resetForTesting();
        registry::setDebuggerProbe([] { return false; });
        gLastEvent = nullptr;
        gEventCount = 0;
    }
    void TearDown() override { registry::resetForTesting(); }
};

TEST_F(MonitorRegistryTest, WithADebuggerOnlyTheApplicationStateMonitorRuns) {
    registry::setDebuggerProbe([] { return true; });
    registry::setActiveMonitors(monitor_type::kAll);
    EXPECT_EQ(registry::activeMonitors(), monitor_type::kApplicationState);
    EXPECT_TRUE(registry::debuggerWarningGiven());
}

TEST_F(MonitorRegistryTest, TheActiveSetHoldsOnlyMonitorsThatRun) {
    registry::setActiveMonitors(monitor_type::kAll);
    // There are no Mach exception ports to watch on this system.
    EXPECT_EQ(registry::activeMonitors(), monitor_type::kSignal | monitor_type::kCPPException |
                                              monitor_type::kNSException |
                                              monitor_type::kApplicationState);
    struct sigaction current {};
    ::sigaction(SIGSEGV, nullptr, &current);
    EXPECT_NE(current.sa_flags & SA_ONSTACK, 0);
    registry::setActiveMonitors(monitor_type::kNone);
    EXPECT_EQ(registry::activeMonitors(), monitor_type::kNone);
    ::sigaction(SIGSEGV, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST_F(MonitorRegistryTest, OnceAsyncSafetyIsRequiredOnlyAsyncSafeMonitorsRun) {
    EXPECT_EQ(registry::notifyFatalExceptionCaptured(true), registry::FatalCapture::kFirst);
    registry::setActiveMonitors(monitor_type::kAll);
    EXPECT_EQ(registry::activeMonitors(), monitor_type::kSignal);
}

TEST_F(MonitorRegistryTest, OnlyTheHandlingThreadCrashingAgainIsARecrash) {
    registry::setActiveMonitors(monitor_type::kSignal);
    EXPECT_EQ(registry::notifyFatalExceptionCaptured(false), registry::FatalCapture::kFirst);
    registry::FatalCapture elsewhere = registry::FatalCapture::kFirst;
    std::thread([&] { elsewhere = registry::notifyFatalExceptionCaptured(false); }).join();
    EXPECT_EQ(elsewhere, registry::FatalCapture::kOtherThreadHandling);
    EXPECT_EQ(registry::activeMonitors(), monitor_type::kSignal);

    EXPECT_EQ(registry::notifyFatalExceptionCaptured(false),
              registry::FatalCapture::kCrashedDuringHandling);
    EXPECT_EQ(registry::activeMonitors(), monitor_type::kNone);
    registry::setEventCallback(recordEvent);
    MonitorContext context{};
    context.crashType = monitor_type::kSignal;
    context.signal.signum = SIGSEGV;
    registry::handleException(&context);
    EXPECT_TRUE(context.crashedDuringCrashHandling);
}

TEST_F(MonitorRegistryTest, HandlingAddsExceptionCodesAndTurnsEverythingOff) {
    registry::setActiveMonitors(monitor_type::kSignal | monitor_type::kCPPException);
    registry::setEventCallback(recordEvent);
    ASSERT_EQ(registry::notifyFatalExceptionCaptured(false), registry::FatalCapture::kFirst);
    MonitorContext context{};
    context.crashType = monitor_type::kCPPException;
    registry::handleException(&context);
    EXPECT_EQ(gLastEvent, &context);
    EXPECT_EQ(context.mach.type, 10);
    EXPECT_EQ(context.signal.signum, SIGABRT);
    EXPECT_FALSE(context.crashedDuringCrashHandling);
    EXPECT_EQ(registry::activeMonitors(), monitor_type::kNone);
    // A thread that crashed meanwhile is let go once handling is over.
    registry::waitForHandlingToEnd(1);
}

TEST_F(MonitorRegistryTest, SwitchingOffAfterACrashKeepsToFixedTextsOnStandardError) {
    // The SDK's logger formats, allocates, locks and calls the host: none of
    // that while a crash is handled, even with debug logging on.
    std::string written;
    {
        test::LogCapture log(Level::Debug);
        registry::setActiveMonitors(monitor_type::kNSException | monitor_type::kCPPException);
        log.clear();
        ASSERT_EQ(registry::notifyFatalExceptionCaptured(false), registry::FatalCapture::kFirst);
        MonitorContext context{};
        context.crashType = monitor_type::kNSException;
        ::testing::internal::CaptureStderr();
        registry::handleException(&context);
        written = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(registry::activeMonitors(), monitor_type::kNone);
        EXPECT_TRUE(log.lines().empty()) << log.lines().front();
    }
    EXPECT_NE(written.find("[Skald] [debug] Restoring original handler.\n"), std::string::npos)
        << written;

    // Without debug logging nothing is written at all.
    registry::setActiveMonitors(monitor_type::kNSException);
    ::testing::internal::CaptureStderr();
    registry::setActiveMonitors(monitor_type::kNone);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(MonitorRegistryTest, SignalsMapToTheirExceptionCodes) {
    const struct {
        int signum;
        int mach;
    } cases[] = {{SIGILL, 2},  {SIGTRAP, 6},      {SIGABRT, 10},      {SIGFPE, 3}, {SIGBUS, 1},
                 {SIGSEGV, 1}, {SIGSYS, 0x10000}, {SIGPIPE, 0x10001}, {SIGTERM, 0}};
    for (const auto& expected : cases) {
        MonitorContext context{};
        context.crashType = monitor_type::kSignal;
        context.signal.signum = expected.signum;
        registry::handleException(&context);
        EXPECT_EQ(context.mach.type, expected.mach) << expected.signum;
    }
}

TEST_F(MonitorRegistryTest, SigtermIsHandledOnlyWhenSwitchedOn) {
    EXPECT_EQ(fatalSignalCount(), 8);
    setSigtermMonitoringEnabled(true);
    EXPECT_EQ(fatalSignalCount(), 9);
    EXPECT_EQ(fatalSignals()[8], SIGTERM);
    setSigtermMonitoringEnabled(false);
}

}  // namespace
}  // namespace skald::crash
