// Diagnostic payloads of each kind, delivered as JSON, become the events they
// describe: checked field by field.
#include <gtest/gtest.h>

#include "diagnostics/diagnostics_fixture.h"
#include "support/log_capture.h"

namespace skald::test {
namespace {

constexpr const char* kAppUUID = "9E8D5C8A-1D2B-4F3E-8A7B-6C5D4E3F2A10";
constexpr const char* kLibcUUID = "1F2E3D4C-5B6A-4798-8A7B-6C5D4E3F2A10";

Json frameJson(const char* instruction, const char* image, const char* package, bool inApp) {
    return Json{{"function", "<redacted>"},
                {"package", package},
                {"image_addr", image},
                {"instruction_addr", instruction},
                {"in_app", inApp}};
}

Json imageJson(const char* uuid, const char* codeFile, const char* image) {
    return Json{
        {"debug_id", uuid}, {"type", "elf"}, {"image_addr", image}, {"code_file", codeFile}};
}

void expectMechanism(const Json& exception, const char* type, bool handled) {
    EXPECT_EQ(unordered(exception["mechanism"]),
              unordered(Json{{"type", type}, {"handled", handled}, {"synthetic", true}}));
}

class MetricKitIntegrationTest : public DiagnosticsFixture {};

TEST_F(MetricKitIntegrationTest, CpuExceptionTreeGivesOneWarningEventPerLeafPath) {
    install();
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(diagnosticFixture("cpu_exception.json")));
    const auto sent = events();
    ASSERT_EQ(sent.size(), 2u);

    const Json root = frameJson("0x0000000000001000", "0x0000000000000e00", "DemoApp", true);
    const std::vector<Json> expectedFrames[] = {
        {root, frameJson("0x0000000000001200", "0x0000000000000c00", "DemoApp", true)},
        {root, frameJson("0x00007f0000002000", "0x00007f0000000000", "libc.so.6", false)},
    };
    const std::vector<Json> expectedImages[] = {
        // The first frame of a binary names its image.
        {imageJson(kAppUUID, "DemoApp", "0x0000000000000e00")},
        {imageJson(kAppUUID, "DemoApp", "0x0000000000000e00"),
         imageJson(kLibcUUID, "libc.so.6", "0x00007f0000000000")},
    };
    for (size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        const Json& event = sent[i];
        EXPECT_EQ(event["level"], "warning");
        EXPECT_DOUBLE_EQ(event["timestamp"].get<double>(), 1765360800.5);
        ASSERT_EQ(event["exception"]["values"].size(), 1u);
        const Json& exception = event["exception"]["values"][0];
        EXPECT_EQ(exception["value"],
                  "MXCPUException totalCPUTime:1,234.5 sec totalSampledTime:90 sec");
        EXPECT_EQ(exception["type"], "MXCPUException");
        expectMechanism(exception, "mx_cpu_exception", true);
        EXPECT_EQ(exception["thread_id"], 0);
        EXPECT_EQ(unordered(exception["stacktrace"]),
                  unordered(Json{{"frames", expectedFrames[i]}}));

        ASSERT_EQ(event["threads"]["values"].size(), 1u);
        const Json& thread = event["threads"]["values"][0];
        EXPECT_EQ(thread["id"], 0);
        EXPECT_EQ(thread["crashed"], false);
        EXPECT_EQ(thread["stacktrace"], exception["stacktrace"]);
        EXPECT_EQ(unordered(event["debug_meta"]["images"]), unordered(Json(expectedImages[i])));
    }
}

TEST_F(MetricKitIntegrationTest, DiskWriteRootWithoutSubFramesGivesOneEventWithOneFrame) {
    install();
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(diagnosticFixture("disk_write_exception.json")));
    const auto sent = events();
    ASSERT_EQ(sent.size(), 1u);
    const Json& exception = sent[0]["exception"]["values"][0];
    EXPECT_EQ(sent[0]["level"], "warning");
    EXPECT_EQ(exception["value"], "MXDiskWriteException totalWritesCaused:2,147.5 MB");
    EXPECT_EQ(exception["type"], "MXDiskWriteException");
    expectMechanism(exception, "mx_disk_write_exception", true);
    EXPECT_EQ(unordered(exception["stacktrace"]["frames"]),
              unordered(Json::array(
                  {frameJson("0x0000000000001600", "0x0000000000001000", "DemoApp", true)})));
    EXPECT_EQ(unordered(sent[0]["debug_meta"]["images"]),
              unordered(Json::array({imageJson(kAppUUID, "DemoApp", "0x0000000000001000")})));
}

TEST_F(MetricKitIntegrationTest, HangWithPerThreadTreeGivesOneEventWithAThreadPerStack) {
    install();
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(diagnosticFixture("hang_per_thread.json")));
    const auto sent = events();
    ASSERT_EQ(sent.size(), 1u);
    const Json& event = sent[0];
    EXPECT_EQ(event["level"], "warning");
    const Json& exception = event["exception"]["values"][0];
    EXPECT_EQ(exception["value"], "MXHangDiagnostic hangDuration:3.25 sec");
    EXPECT_EQ(exception["type"], "MXHangDiagnostic");
    expectMechanism(exception, "mx_hang_diagnostic", true);

    const Json& threads = event["threads"]["values"];
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_EQ(threads[0]["id"], 0);
    EXPECT_EQ(threads[0]["crashed"], false);
    EXPECT_EQ(threads[1]["id"], 1);
    EXPECT_FALSE(threads[1].contains("crashed"));
    // The flattened root frames, reversed.
    EXPECT_EQ(unordered(threads[0]["stacktrace"]["frames"]),
              unordered(Json::array(
                  {frameJson("0x00007f0000004000", "0x00007f0000000000", "libc.so.6", false),
                   frameJson("0x0000000000003000", "0x0000000000001000", "DemoApp", true),
                   frameJson("0x0000000000002000", "0x0000000000001000", "DemoApp", true)})));
    EXPECT_EQ(unordered(threads[1]["stacktrace"]["frames"]),
              unordered(Json::array(
                  {frameJson("0x00007f0000109000", "0x00007f0000104000", "libc.so.6", false)})));
    EXPECT_EQ(exception["stacktrace"], threads[0]["stacktrace"]);
    EXPECT_EQ(exception["thread_id"], 0);
    // One image per binary across the stacks; a later stack's entry wins.
    EXPECT_EQ(unordered(event["debug_meta"]["images"]),
              unordered(Json::array({imageJson(kAppUUID, "DemoApp", "0x0000000000001000"),
                                     imageJson(kLibcUUID, "libc.so.6", "0x00007f0000104000")})));
}

TEST_F(MetricKitIntegrationTest,
       CrashDiagnosticsReachTheIntegrationOnlyWhenTheManagerPassesThemOn) {
    install();
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(diagnosticFixture("crash.json")));
    EXPECT_TRUE(events().empty());
    integration->uninstall();

    install(/*crashDiagnostics=*/true);
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(diagnosticFixture("crash.json")));
    const auto sent = events();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["level"], "error");
    const Json& exception = sent[0]["exception"]["values"][0];
    EXPECT_EQ(exception["value"], "MachException Type:1 Code:0 Signal:11");
    EXPECT_EQ(exception["type"], "MXCrashDiagnostic");
    expectMechanism(exception, "MXCrashDiagnostic", false);
    EXPECT_EQ(sent[0]["threads"]["values"][0]["crashed"], true);
}

TEST_F(MetricKitIntegrationTest, DiagnosticsAreTakenPayloadByPayloadCrashDiskCpuHang) {
    install(/*crashDiagnostics=*/true);
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(diagnosticFixture("every_kind.json")));
    std::vector<std::string> values;
    for (const auto& event : events()) {
        values.push_back(event["exception"]["values"][0]["value"].get<std::string>());
    }
    EXPECT_EQ(values, (std::vector<std::string>{
                          "MachException Type:1 Code:0 Signal:11",
                          "MXDiskWriteException totalWritesCaused:1,024 MB",
                          "MXCPUException totalCPUTime:61 sec totalSampledTime:60 sec",
                          "MXHangDiagnostic hangDuration:2 sec",
                          "MXHangDiagnostic hangDuration:4,500 ms",
                      }));
}

TEST_F(MetricKitIntegrationTest, RawPayloadOptionAttachesTheDiagnosticToEachEvent) {
    options->enableMetricKitRawPayload = true;
    install();
    const std::string fixture = diagnosticFixture("cpu_exception.json");
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(fixture));
    const Json diagnostic = Json::parse(fixture)["cpuExceptionDiagnostics"][0];
    const auto envelopes = transport->envelopes();
    ASSERT_EQ(envelopes.size(), 2u);
    for (const auto& envelope : envelopes) {
        int attachments = 0;
        for (const auto& item : envelope->items()) {
            if (item->header()->type() != "attachment") continue;
            ++attachments;
            EXPECT_EQ(item->header()->filename().value_or(""), "MXDiagnosticPayload.json");
            EXPECT_EQ(unordered(Json::parse(item->data())), unordered(diagnostic));
        }
        EXPECT_EQ(attachments, 1);
    }
    // The hub's own scope is left without it.
    EXPECT_TRUE(scope->attachments().empty());
}

TEST_F(MetricKitIntegrationTest, WithoutRawPayloadOptionNoAttachmentIsSent) {
    install();
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(diagnosticFixture("disk_write_exception.json")));
    ASSERT_EQ(transport->envelopes().size(), 1u);
    EXPECT_EQ(itemTypes(*transport->envelopes()[0]), std::vector<std::string>{"event"});
}

TEST_F(MetricKitIntegrationTest, CpuExceptionWithPerThreadStacksIsIgnoredWithAWarning) {
    install();
    Json payload = Json::parse(diagnosticFixture("cpu_exception.json"));
    payload["cpuExceptionDiagnostics"][0]["callStackTree"]["callStackPerThread"] = true;
    LogCapture log;
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(payload.dump()));
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(log.contains(
        "MXCPUExceptionDiagnostics aren't expected to have call stacks per thread. Ignoring it."));
}

TEST_F(MetricKitIntegrationTest, NothingArrivesAfterUninstallOrOnceTheIntegrationIsGone) {
    install();
    integration->uninstall();
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(diagnosticFixture("disk_write_exception.json")));
    EXPECT_TRUE(events().empty());

    // Subscribed but dropped by its owner: the manager's delegate is gone.
    install();
    integration.reset();
    ASSERT_TRUE(deliverDiagnosticPayloadsJson(diagnosticFixture("disk_write_exception.json")));
    EXPECT_TRUE(events().empty());
    DependencyContainer::sharedInstance()->metricKitManager()->pauseReports();
}

TEST_F(MetricKitIntegrationTest, InstallsOnlyWithTheOptionAndAsASharedObject) {
    options->enableMetricKit = false;
    EXPECT_FALSE(std::make_shared<MetricKitIntegration>()->installWithOptions(*options));
    options->enableMetricKit = true;
    MetricKitIntegration onTheStack;
    EXPECT_FALSE(onTheStack.installWithOptions(*options));
}

TEST_F(MetricKitIntegrationTest, EventsAreRecognisedAsMetricKitEvents) {
    MXEventBuilder builder(InAppLogic({"DemoApp"}, {}));
    for (const char* mechanism : {"mx_cpu_exception", "mx_disk_write_exception",
                                  "mx_hang_diagnostic", "MXCrashDiagnostic"}) {
        MXExceptionParams params;
        params.exceptionMechanism = mechanism;
        EXPECT_TRUE(builder.createEvent(params)->isMetricKitEvent()) << mechanism;
    }
    MXExceptionParams other;
    other.exceptionMechanism = "AppHang";
    EXPECT_FALSE(builder.createEvent(other)->isMetricKitEvent());
}

}  // namespace
}  // namespace skald::test
