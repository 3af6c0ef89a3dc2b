#include "crash/reporting/crash_report_converter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report_fixture.h"
#include "support/log_capture.h"
#include "util/iso8601.h"

namespace skald::test {
namespace {

using crash::CrashReportConverter;

std::shared_ptr<Event> convert(const Json& report) {
    return CrashReportConverter(report, shopInAppLogic()).convertReportToEvent();
}

std::shared_ptr<Event> convertFixture() {
    return convert(fixtureReport("signal_report.json"));
}

/// A report with one crashed thread of one frame in one image, and `error`.
Json reportWithError(Json error) {
    return Json{
        {"binary_images",
         Json::array({{{"image_addr", 4096}, {"image_size", 4096}, {"name", "/bin/shop-app"}}})},
        {"crash",
         {{"error", std::move(error)},
          {"threads",
           Json::array(
               {{{"index", 0},
                 {"crashed", true},
                 {"backtrace", {{"contents", Json::array({{{"instruction_addr", 4100}}})}}}}})}}}};
}

const Exception& onlyException(const Event& event) {
    EXPECT_EQ(event.exceptions.size(), 1u);
    return *event.exceptions.at(0);
}

// --- The event as a whole --------------------------------------------------

TEST(CrashReportConverterTest, SignalReportBecomesAFatalEventForTheCrashedThread) {
    const auto event = convertFixture();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->level, Level::Fatal);
    EXPECT_EQ(event->timestamp, parseIso8601Timestamp("2026-03-04T05:06:07Z"));

    const auto& exception = onlyException(*event);
    EXPECT_EQ(exception.type, "SIGSEGV");
    ASSERT_TRUE(exception.mechanism);
    EXPECT_EQ(exception.mechanism->type, "signal");
    EXPECT_EQ(exception.mechanism->handled, false);
    ASSERT_TRUE(exception.mechanism->meta);
    EXPECT_EQ(
        exception.mechanism->meta->signal,
        (Json{{"number", 11}, {"code", 1}, {"code_name", "SEGV_MAPERR"}, {"name", "SIGSEGV"}}));
    EXPECT_FALSE(exception.mechanism->meta->machException);
    EXPECT_EQ(exception.mechanism->data, (Json{{"relevant_address", "0x0000000000000010"}}));

    // The crashed thread is the second one; the exception shares its trace.
    EXPECT_EQ(exception.threadId, 1u);
    ASSERT_EQ(event->threads.size(), 2u);
    EXPECT_EQ(exception.stacktrace, event->threads[1]->stacktrace);
}

TEST(CrashReportConverterTest, SignalTextThenDiagnosisMakeTheExceptionValue) {
    // The fixture's crashed thread has texts among its notable addresses:
    // they stay in the report and do not name the crash.
    EXPECT_EQ(onlyException(*convertFixture()).value,
              "Signal 11, Code 1 >\n"
              "Attempted to dereference garbage pointer at 0x10.");
}

TEST(CrashReportConverterTest, ThreadsKeepTheirOrderAndThoseWithoutFramesAreLeftOut) {
    const auto event = convertFixture();
    ASSERT_EQ(event->threads.size(), 2u);
    const auto& main = *event->threads[0];
    EXPECT_EQ(main.threadId, 0u);
    EXPECT_EQ(main.isMain, true);
    EXPECT_EQ(main.crashed, false);
    EXPECT_EQ(main.current, false);
    EXPECT_EQ(main.name, "shop-app");

    const auto& crashed = *event->threads[1];
    EXPECT_EQ(crashed.threadId, 1u);
    EXPECT_EQ(crashed.isMain, false);
    EXPECT_EQ(crashed.crashed, true);
    EXPECT_EQ(crashed.current, true);
    EXPECT_EQ(crashed.name, "checkout-queue") << "the queue stands in for a missing name";
}

TEST(CrashReportConverterTest, FramesAreReversedAndTheStitchingMarkerStartsAStack) {
    const auto event = convertFixture();
    const auto& frames = event->threads[1]->stacktrace->frames;
    ASSERT_EQ(frames.size(), 4u);

    // Outermost first: the unknown address, then worker_loop, checkout, total.
    EXPECT_EQ(frames[0]->instructionAddress, "0x00000000000003e7");
    EXPECT_FALSE(frames[0]->package);
    EXPECT_FALSE(frames[0]->imageAddress);
    EXPECT_EQ(frames[0]->inApp, false);

    EXPECT_EQ(frames[1]->function, "worker_loop");
    EXPECT_FALSE(frames[1]->stackStart);
    EXPECT_EQ(frames[2]->function, "checkout");
    EXPECT_EQ(frames[2]->stackStart, true) << "the frame before the marker begins a stack";

    const auto& top = *frames[3];
    EXPECT_EQ(top.function, "_ZN4shop4Cart5totalEv");
    EXPECT_EQ(top.instructionAddress, "0x00000000004002e2");
    EXPECT_EQ(top.instruction, 4195042u);
    EXPECT_EQ(top.symbolAddress, "0x00000000004002b8");
    EXPECT_EQ(top.imageAddress, "0x0000000000400000");
    EXPECT_EQ(top.package, "/opt/shop/bin/shop-app");
    EXPECT_EQ(top.inApp, true);

    const auto& libcFrame = *event->threads[0]->stacktrace->frames[1];
    EXPECT_EQ(libcFrame.function, "poll");
    EXPECT_EQ(libcFrame.package, "/usr/lib/x86_64-linux-gnu/libc.so.6");
    EXPECT_EQ(libcFrame.inApp, false);
}

TEST(CrashReportConverterTest, FramesLeftOutOfADeepStackAreShownWhereTheyWere) {
    auto report = reportWithError({{"type", "signal"}});
    Json contents = Json::array();
    // Three innermost, then two outermost; 1000 left out between them.
    for (int address : {4200, 4190, 4190, 4120, 4110}) {
        contents.push_back({{"instruction_addr", address}});
    }
    auto& backtrace = report["crash"]["threads"][0]["backtrace"];
    backtrace = {{"contents", contents}, {"skipped", 1000}, {"skipped_at", 3}};
    const auto event = convert(report);
    const auto& stacktrace = *event->threads.at(0)->stacktrace;
    ASSERT_EQ(stacktrace.frames.size(), 5u);
    // Outermost first: 4110, 4120, then the gap, then 4190, 4190, 4200.
    EXPECT_EQ(stacktrace.frames[1]->instruction, 4120u);
    ASSERT_TRUE(stacktrace.framesOmitted);
    EXPECT_EQ(stacktrace.framesOmitted->first, 2u);
    EXPECT_EQ(stacktrace.framesOmitted->second, 1002u);
    EXPECT_EQ(stacktrace.serialize()["frames_omitted"], Json::array({2, 1002}));

    // Without a count, or with a position past the frames, nothing is claimed.
    backtrace = {{"contents", contents}, {"skipped", 0}};
    EXPECT_FALSE(convert(report)->threads.at(0)->stacktrace->framesOmitted);
    backtrace = {{"contents", contents}, {"skipped", 7}, {"skipped_at", 99}};
    EXPECT_FALSE(convert(report)->threads.at(0)->stacktrace->framesOmitted);
}

/// A report whose crashed thread has these frames, innermost first, all in
/// the host's executable.
Json reportWithFrames(const std::vector<std::string>& symbols) {
    Json contents = Json::array();
    uint64_t address = 4100;
    for (const auto& symbol : symbols) {
        contents.push_back({{"instruction_addr", address}, {"symbol_name", symbol}});
        address += 16;
    }
    auto report = reportWithError({{"type", "signal"}});
    report["crash"]["threads"][0]["backtrace"]["contents"] = contents;
    return report;
}

std::vector<std::string> functionsOf(const Stacktrace& stacktrace) {
    std::vector<std::string> names;
    for (const auto& frame : stacktrace.frames) names.push_back(frame->function.value_or("?"));
    return names;
}

TEST(CrashReportConverterTest, TheSdksOwnFramesOnTopAreTrimmed) {
    // The SDK shares the host's executable: its frames are known by name.
    const auto event = convert(reportWithFrames({"_ZN5skald8platform12AppException5raiseEv",
                                                 "_ZNK5skald5crash6Helper4callEv", "hostRaise",
                                                 "_ZN5skald5crash5inner", "main"}));
    const auto& exception = onlyException(*event);
    ASSERT_TRUE(exception.stacktrace);
    // Outermost first; SDK frames below the host's are kept.
    EXPECT_EQ(functionsOf(*exception.stacktrace),
              (std::vector<std::string>{"main", "_ZN5skald5crash5inner", "hostRaise"}));
    EXPECT_EQ(event->threads[0]->stacktrace, exception.stacktrace);

    // A stack that is all the SDK's stays whole.
    const auto sdkOnly = convert(reportWithFrames({"_ZN5skald5crash4waitEv", "_ZN5skald4mainEv"}));
    EXPECT_EQ(functionsOf(*onlyException(*sdkOnly).stacktrace),
              (std::vector<std::string>{"_ZN5skald4mainEv", "_ZN5skald5crash4waitEv"}));

    // Frames of the SDK as a framework are known by their image.
    auto framework = reportWithFrames({"anything", "hostMain"});
    framework["binary_images"] = Json::array(
        {{{"image_addr", 4096}, {"image_size", 20}, {"name", "/Apps/Shop/Skald.framework/Skald"}},
         {{"image_addr", 4116}, {"image_size", 4076}, {"name", "/bin/shop-app"}}});
    EXPECT_EQ(functionsOf(*onlyException(*convert(framework)).stacktrace),
              (std::vector<std::string>{"hostMain"}));

    // Names that merely resemble the SDK's are the host's.
    EXPECT_EQ(
        functionsOf(
            *onlyException(*convert(reportWithFrames({"_ZN6skalda3runEv", "skald_helper", "main"})))
                 .stacktrace),
        (std::vector<std::string>{"main", "skald_helper", "_ZN6skalda3runEv"}));
}

TEST(CrashReportConverterTest, MarkerWrittenUnsignedAndAsFirstEntryIsHandled) {
    auto report = reportWithError({{"type", "signal"}});
    report["crash"]["threads"][0]["backtrace"]["contents"] =
        Json::array({{{"instruction_addr", 18446744073709550381ull}},
                     {{"instruction_addr", 4100}},
                     {{"instruction_addr", 18446744073709550381ull}}});
    const auto frames = convert(report)->threads.at(0)->stacktrace->frames;
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->stackStart, true);
}

TEST(CrashReportConverterTest, RegistersAreWrittenAsHexadecimal) {
    const auto event = convertFixture();
    const auto& registers = event->threads[1]->stacktrace->registers;
    EXPECT_EQ(registers, (std::map<std::string, std::string>{{"rax", "0x0000000000000000"},
                                                             {"rdi", "0x0000000000000010"},
                                                             {"rip", "0x00000000004002e2"}}));
}

TEST(CrashReportConverterTest, DebugImagesOnlyForImagesThatFramesUse) {
    const auto event = convertFixture();
    ASSERT_EQ(event->debugMeta.size(), 2u) << "libunused.so has no frame";

    const auto& app = *event->debugMeta[0];
    EXPECT_EQ(app.type, "elf");
    EXPECT_EQ(app.debugID, "67452301-ab89-efcd-0011-223344556677");
    EXPECT_EQ(app.codeID, "0123456789abcdef0011223344556677deadbeef");
    EXPECT_EQ(app.imageAddress, "0x0000000000400000");
    EXPECT_EQ(app.imageSize, 65536u);
    EXPECT_FALSE(app.imageVmAddress) << "a zero vm address is left out";
    EXPECT_EQ(app.codeFile, "/opt/shop/bin/shop-app");
    EXPECT_EQ(app.serialize()["code_id"], "0123456789abcdef0011223344556677deadbeef");

    const auto& libc = *event->debugMeta[1];
    EXPECT_EQ(libc.debugID, "11111111-2222-3333-4444-555555555555") << "no build id: the uuid";
    EXPECT_FALSE(libc.codeID);
    EXPECT_EQ(libc.imageAddress, "0x00007f544a44c000");
    EXPECT_EQ(libc.imageVmAddress, "0x0000000000001000");
}

TEST(CrashReportConverterTest, MalformedBuildIdFallsBackToTheUuid) {
    auto report = reportWithError({{"type", "signal"}});
    report["binary_images"][0]["build_id"] = "xyz";
    report["binary_images"][0]["uuid"] = "fallback";
    const auto event = convert(report);
    ASSERT_EQ(event->debugMeta.size(), 1u);
    EXPECT_EQ(event->debugMeta[0]->debugID, "fallback");
    EXPECT_FALSE(event->debugMeta[0]->codeID);
}

// --- Scope data -------------------------------------------------------------

TEST(CrashReportConverterTest, ScopeOfTheReportFillsTheEvent) {
    const auto event = convertFixture();
    ASSERT_TRUE(event->user);
    EXPECT_EQ(event->user->userId(), "u-42");
    EXPECT_EQ(event->user->email(), "ada@example.org");
    EXPECT_EQ(event->user->username(), "ada");
    EXPECT_EQ(event->user->data(), (Json{{"plan", "pro"}}));
    EXPECT_EQ(event->environment, "production") << "the scope wins over the user section";
    EXPECT_EQ(event->tags, (std::map<std::string, std::string>{{"region", "eu"}, {"shard", "7"}}));
    EXPECT_EQ(event->extra, (Json{{"cart_items", 3}}));
    ASSERT_TRUE(event->context);
    EXPECT_EQ((*event->context)["os"]["name"], "Linux");
}

TEST(CrashReportConverterTest, ReleaseAndDistFallBackToTheAppContext) {
    const auto event = convertFixture();
    EXPECT_EQ(event->releaseName, "org.example.shop@2.1+210");
    EXPECT_EQ(event->dist, "210");

    auto report = fixtureReport("signal_report.json");
    report["skald_sdk_scope"]["release"] = "shop@3";
    report["skald_sdk_scope"]["dist"] = "7";
    const auto own = convert(report);
    EXPECT_EQ(own->releaseName, "shop@3");
    EXPECT_EQ(own->dist, "7");

    // A partial app context gives a dist but no release.
    report = fixtureReport("signal_report.json");
    report["skald_sdk_scope"]["context"]["app"].erase("app_version");
    const auto partial = convert(report);
    EXPECT_FALSE(partial->releaseName);
    EXPECT_EQ(partial->dist, "210");
}

TEST(CrashReportConverterTest, BreadcrumbsKeepTheirFieldsAndMapLevels) {
    const auto event = convertFixture();
    ASSERT_EQ(event->breadcrumbs.size(), 7u) << "the entry that is no object is skipped";
    const std::vector<Level> levels = {Level::Info,  Level::Info,  Level::Warning, Level::Fatal,
                                       Level::Debug, Level::Error, Level::Error};
    for (size_t i = 0; i < levels.size(); ++i)
        EXPECT_EQ(event->breadcrumbs[i]->level, levels[i]) << i;

    const auto& first = *event->breadcrumbs[0];
    EXPECT_EQ(first.category, "ui");
    EXPECT_EQ(first.message, "tap");
    EXPECT_EQ(first.type, "user");
    EXPECT_EQ(first.data, (Json{{"button", "pay"}}));
    EXPECT_EQ(first.timestamp, parseIso8601Timestamp("2026-03-04T05:06:01.250Z"));
    EXPECT_EQ(event->breadcrumbs[1]->timestamp, parseIso8601Timestamp("2026-03-04T05:06:02Z"));
    EXPECT_FALSE(event->breadcrumbs[2]->timestamp) << "no date stored, none invented";
    EXPECT_FALSE(event->breadcrumbs[6]->timestamp);
}

// --- Exceptions by type -----------------------------------------------------

TEST(CrashReportConverterTest, EachExceptionTypeHasItsValueAndType) {
    struct Case {
        Json error;
        std::string value;
        std::string type;
        std::string mechanism;
    };
    const std::vector<Case> cases = {
        {{{"type", "mach"},
          {"mach",
           {{"exception", 1}, {"exception_name", "EXC_BAD_ACCESS"}, {"code", 0}, {"subcode", 8}}}},
         "Exception 1, Code 0, Subcode 8",
         "EXC_BAD_ACCESS",
         "mach"},
        {{{"type", "signal"}, {"signal", {{"signal", 6}, {"name", "SIGABRT"}, {"code", 0}}}},
         "Signal 6, Code 0",
         "SIGABRT",
         "signal"},
        {{{"type", "cpp_exception"}, {"cpp_exception", {{"name", "std::out_of_range"}}}},
         "std::out_of_range",
         "C++ Exception",
         "cpp_exception"},
        {{{"type", "nsexception"},
          {"reason", "outer"},
          {"nsexception", {{"name", "NSRangeException"}, {"reason", "index 3 beyond bounds"}}}},
         "index 3 beyond bounds",
         "NSRangeException",
         "nsexception"},
        {{{"type", "nsexception"}, {"reason", "outer"}, {"nsexception", {{"name", "NSGeneric"}}}},
         "outer",
         "NSGeneric",
         "nsexception"},
        {{{"type", "nsexception"}, {"nsexception", {{"name", "NSGeneric"}}}},
         "",
         "NSGeneric",
         "nsexception"},
        {{{"type", "user"}, {"reason", "plain reason"}, {"user_reported", {{"name", "MyError"}}}},
         "plain reason",
         "MyError",
         "user"},
        {{{"type", "user"},
          {"reason", "Parser:  bad token  "},
          {"user_reported", {{"name", "MyError"}}}},
         "bad token",
         "Parser",
         "user"},
        {{{"type", "deadlock"}}, "Unknown Exception", "deadlock", "deadlock"},
        {{{"reason", "no type"}}, "Unknown Exception", "Unknown Exception", "Unknown Exception"},
    };
    for (const auto& c : cases) {
        const auto event = convert(reportWithError(c.error));
        ASSERT_TRUE(event) << c.error.dump();
        const auto& exception = onlyException(*event);
        EXPECT_EQ(exception.value, c.value) << c.error.dump();
        EXPECT_EQ(exception.type, c.type) << c.error.dump();
        EXPECT_EQ(exception.mechanism->type, c.mechanism) << c.error.dump();
        EXPECT_EQ(exception.threadId, 0u);
    }
}

TEST(CrashReportConverterTest, MechanismCarriesMachAndSignalDetails) {
    const auto event = convert(reportWithError(
        {{"type", "signal"},
         {"address", 0},
         {"mach",
          {{"exception", 1}, {"exception_name", "EXC_BAD_ACCESS"}, {"code", 1}, {"subcode", 0}}},
         {"signal", {{"signal", 11}, {"name", "SIGSEGV"}, {"code", 0}}}}));
    const auto& mechanism = *onlyException(*event).mechanism;
    EXPECT_EQ(onlyException(*event).value, "Signal 11, Code 0");
    EXPECT_EQ(mechanism.handled, false);
    EXPECT_EQ(mechanism.meta->machException,
              (Json{{"name", "EXC_BAD_ACCESS"}, {"exception", 1}, {"subcode", 0}, {"code", 1}}));
    EXPECT_EQ(mechanism.meta->signal, (Json{{"number", 11}, {"code", 0}, {"name", "SIGSEGV"}}));
    EXPECT_FALSE(mechanism.data) << "address 0 is not relevant";

    const auto cpp = convert(reportWithError({{"type", "cpp_exception"}}));
    EXPECT_FALSE(onlyException(*cpp).mechanism->handled);
    EXPECT_FALSE(onlyException(*cpp).mechanism->meta);
}

TEST(CrashReportConverterTest, NotableStringsDoNotReplaceTheExceptionValue) {
    // A register that happened to point at the program's own argument.
    auto report = reportWithError(
        {{"type", "signal"}, {"signal", {{"signal", 11}, {"code", 1}, {"name", "SIGSEGV"}}}});
    report["crash"]["threads"][0]["notable_addresses"] = {
        {"rdi", {{"address", 140737488346000}, {"type", "string"}, {"value", "segv"}}},
        {"stack@0x7ffc0", {{"address", 140737488346100}, {"type", "string"}, {"value", "bar"}}}};
    EXPECT_EQ(onlyException(*convert(report)).value, "Signal 11, Code 1");

    report["crash"]["diagnosis"] = "Attempted to dereference null pointer.";
    EXPECT_EQ(onlyException(*convert(report)).value,
              "Signal 11, Code 1 >\nAttempted to dereference null pointer.");

    // Nor the value of an exception that has a reason of its own.
    auto thrown = reportWithError(
        {{"type", "cpp_exception"}, {"cpp_exception", {{"name", "std::runtime_error"}}}});
    thrown["crash"]["threads"][0]["notable_addresses"] = {
        {"rsi", {{"type", "string"}, {"value", "leftover text"}}}};
    EXPECT_EQ(onlyException(*convert(thrown)).value, "std::runtime_error");
}

TEST(CrashReportConverterTest, CrashInfoMessageOfTheRuntimeLibraryBecomesTheValue) {
    auto report = reportWithError({{"type", "signal"}});
    report["binary_images"].push_back({{"image_addr", 1 << 20},
                                       {"image_size", 10},
                                       {"name", "/usr/lib/libswiftCore.dylib"},
                                       {"crash_info_message2", "Fatal error: Index out of range"}});
    EXPECT_EQ(onlyException(*convert(report)).value, "Fatal error: Index out of range");
}

TEST(CrashReportConverterTest, DiagnosisIsAppendedOnlyWhenTheValueLacksIt) {
    auto report = reportWithError({{"type", "user"}, {"reason", "Quota: disk full"}});
    report["crash"]["diagnosis"] = "disk full";
    EXPECT_EQ(onlyException(*convert(report)).value, "disk full");
    report["crash"]["diagnosis"] = "Graceful OS termination requested.";
    EXPECT_EQ(onlyException(*convert(report)).value,
              "disk full >\nGraceful OS termination requested.");
    report["crash"]["diagnosis"] = "";
    EXPECT_EQ(onlyException(*convert(report)).value, "disk full");
}

// --- Other report shapes ----------------------------------------------------

TEST(CrashReportConverterTest, RecrashReportTakesCrashAndImagesFromTheFirstReport) {
    const auto first = fixtureReport("signal_report.json");
    const Json report = {
        {"recrash_report", first},
        {"report", {{"type", "minimal"}, {"timestamp", 1700000000}}},
        {"binary_images", Json::array()},
        {"crash",
         {{"error", {{"type", "cpp_exception"}, {"cpp_exception", {{"name", "during handling"}}}}},
          {"crashed_thread", {{"index", 5}, {"crashed", true}}}}}};
    const auto event = convert(report);
    ASSERT_TRUE(event);
    EXPECT_EQ(onlyException(*event).type, "SIGSEGV");
    EXPECT_EQ(onlyException(*event).threadId, 1u);
    EXPECT_EQ(event->threads.size(), 2u);
    EXPECT_EQ(event->debugMeta.size(), 2u) << "images come from the embedded report";
    EXPECT_EQ(event->timestamp, dateWithTimeIntervalSince1970(1700000000));
    EXPECT_FALSE(event->user) << "the scope of the outer report, which has none";
}

TEST(CrashReportConverterTest, MinimalReportUsesItsCrashedThread) {
    Json report =
        reportWithError({{"type", "signal"}, {"signal", {{"signal", 4}, {"name", "SIGILL"}}}});
    report["crash"]["crashed_thread"] = report["crash"]["threads"][0];
    report["crash"]["crashed_thread"]["index"] = 3;
    report["crash"].erase("threads");
    const auto event = convert(report);
    ASSERT_EQ(event->threads.size(), 1u);
    EXPECT_EQ(event->threads[0]->threadId, 3u);
    EXPECT_EQ(onlyException(*event).threadId, 3u);
    EXPECT_EQ(onlyException(*event).type, "SIGILL");
}

TEST(CrashReportConverterTest, WithoutACrashedFlagTheFirstThreadIsTheCrashedOne) {
    auto report = fixtureReport("signal_report.json");
    report["crash"]["threads"][1]["crashed"] = false;
    const auto event = convert(report);
    const auto& exception = onlyException(*event);
    EXPECT_EQ(exception.threadId, 0u);
    EXPECT_EQ(exception.value,
              "Signal 11, Code 1 >\nAttempted to dereference garbage pointer at 0x10.")
        << "notable addresses of the first thread only";
}

TEST(CrashReportConverterTest, ReportThatIsNoObjectIsSkippedWithALogLine) {
    LogCapture log(Level::Error);
    for (const Json& report : {Json(), Json::array({1, 2}), Json("text"), Json(3)}) {
        EXPECT_FALSE(convert(report)) << report.dump();
    }
    EXPECT_EQ(log.count("Crash report is not a dictionary"), 4u);
}

TEST(CrashReportConverterTest, MissingOrMistypedSectionsStillGiveAnEvent) {
    const auto empty = convert(Json::object());
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->threads.empty());
    EXPECT_TRUE(empty->debugMeta.empty());
    EXPECT_EQ(onlyException(*empty).value, "Unknown Exception");
    EXPECT_FALSE(onlyException(*empty).threadId);
    EXPECT_TRUE(empty->timestamp) << "the conversion date stands in";

    // Every section of the wrong kind.
    const Json mistyped = {
        {"report", "not an object"},
        {"binary_images", "none"},
        {"crash",
         {{"error", Json::array()},
          {"threads",
           Json::array({7,
                        "x",
                        Json(),
                        {{"backtrace", {{"contents", {{"a", 1}}}}}},
                        {{"index", "one"},
                         {"crashed", "yes"},
                         {"registers", {{"basic", Json::array({1})}}},
                         {"notable_addresses", "none"},
                         {"backtrace",
                          {{"contents", Json::array({1,
                                                     {{"instruction_addr", "0x10"}},
                                                     {{"instruction_addr", 16.0}}})}}}}})},
          {"diagnosis", 5}}},
        {"user", "nobody"},
        {"skald_sdk_scope",
         {{"user", "nobody"},
          {"breadcrumbs", {{"a", 1}}},
          {"tags", Json::array()},
          {"context", {{"app", "x"}}},
          {"release", 3}}}};
    const auto event = convert(mistyped);
    ASSERT_TRUE(event);
    ASSERT_EQ(event->threads.size(), 1u);
    EXPECT_FALSE(event->threads[0]->threadId);
    EXPECT_EQ(event->threads[0]->isMain, false);
    ASSERT_EQ(event->threads[0]->stacktrace->frames.size(), 1u);
    EXPECT_EQ(event->threads[0]->stacktrace->frames[0]->instructionAddress, "0x0000000000000010");
    EXPECT_TRUE(event->threads[0]->stacktrace->registers.empty());
    EXPECT_FALSE(event->user);
    EXPECT_TRUE(event->breadcrumbs.empty());
    EXPECT_FALSE(event->releaseName);
    EXPECT_EQ(onlyException(*event).value, "Unknown Exception");

    // Threads that are not an array.
    auto report = fixtureReport("signal_report.json");
    report["crash"]["threads"] = {{"0", report["crash"]["threads"][0]}};
    const auto noThreads = convert(report);
    EXPECT_TRUE(noThreads->threads.empty());
    EXPECT_EQ(onlyException(*noThreads).type, "SIGSEGV");
    EXPECT_FALSE(onlyException(*noThreads).stacktrace);
}

TEST(CrashReportConverterTest, NumericTimestampIsSecondsSince1970) {
    auto report = reportWithError({{"type", "signal"}});
    report["report"] = {{"timestamp", 1700000000.5}};
    EXPECT_EQ(convert(report)->timestamp, dateWithTimeIntervalSince1970(1700000000.5));
}

// --- Reading stored files ---------------------------------------------------

TEST(CrashReportConverterTest, StoredReportIsDecodedWhole) {
    LogCapture log(Level::Debug);
    const auto report =
        CrashReportConverter::decodeStoredReport(fixtureText("signal_report.json"), 1);
    ASSERT_TRUE(report);
    EXPECT_EQ(*report, fixtureReport("signal_report.json"));
    EXPECT_TRUE(log.lines().empty());
}

TEST(CrashReportConverterTest, TruncatedFileGivesTheSectionsReadBeforeTheCut) {
    const std::string text = fixtureText("signal_report.json");
    // Cut inside the crashed thread's backtrace.
    const size_t cut = text.find("_ZN4shop4Cart5totalEv");
    ASSERT_NE(cut, std::string::npos);
    LogCapture log(Level::Error);
    const auto report = CrashReportConverter::decodeStoredReport(text.substr(0, cut + 5), 0x2a);
    ASSERT_TRUE(report);
    EXPECT_TRUE(log.contains("Encountered error loading crash report 2a: "));
    EXPECT_FALSE(log.contains("Could not load crash report"));
    EXPECT_EQ((*report)["binary_images"].size(), 3u);
    EXPECT_EQ((*report)["crash"]["error"]["signal"]["name"], "SIGSEGV");
    EXPECT_EQ((*report)["crash"]["threads"].size(), 2u);

    const auto event = convert(*report);
    ASSERT_TRUE(event);
    EXPECT_EQ(onlyException(*event).type, "SIGSEGV");
    EXPECT_EQ(onlyException(*event).threadId, 0u) << "the crashed flag was cut off";
    ASSERT_EQ(event->threads.size(), 1u);
    EXPECT_EQ(event->threads[0]->stacktrace->frames.size(), 2u);

    // Every prefix of the file decodes or is refused; none throws.
    for (size_t length = 0; length < text.size(); length += 7)
        (void)CrashReportConverter::decodeStoredReport(text.substr(0, length), 1);
}

TEST(CrashReportConverterTest, UnreadableFileIsSkippedWithItsLogLines) {
    LogCapture log(Level::Error);
    for (const std::string text : {"", "garbage", "[1, 2]", "\"text\"", "{\"a\": \xff}"}) {
        EXPECT_FALSE(CrashReportConverter::decodeStoredReport(text, 7)) << text.size();
    }
    EXPECT_EQ(log.count("Could not load crash report"), 5u);
    EXPECT_TRUE(log.contains("Encountered error loading crash report 7: "));
}

}  // namespace
}  // namespace skald::test
