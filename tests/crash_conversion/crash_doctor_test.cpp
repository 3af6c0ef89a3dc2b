#include "crash/reporting/crash_doctor.h"

#include <gtest/gtest.h>

namespace skald::test {
namespace {

using crash::CrashDoctor;

/// A report whose crashed thread has `backtrace` and whose error is `error`.
Json report(Json error, Json backtrace = Json::array(), Json threadExtras = Json::object()) {
    Json thread = {
        {"index", 0}, {"crashed", true}, {"backtrace", {{"contents", std::move(backtrace)}}}};
    for (const auto& [key, value] : threadExtras.items()) thread[key] = value;
    return {{"report", {{"process_name", "shop-app"}}},
            {"crash",
             {{"error", std::move(error)},
              {"threads", Json::array({{{"index", 1}, {"crashed", false}}, std::move(thread)})}}}};
}

Json signal(int number, const char* name, uint64_t address = 0) {
    return {
        {"type", "signal"}, {"address", address}, {"signal", {{"signal", number}, {"name", name}}}};
}

TEST(CrashDoctorTest, StackOverflowNamesTheFirstFunctionOfTheMainExecutable) {
    const Json backtrace = Json::array({{{"object_name", "libc.so.6"}, {"symbol_name", "memcpy"}},
                                        {{"object_name", "shop-app"}, {"symbol_name", "recurse"}},
                                        {{"object_name", "shop-app"}, {"symbol_name", "main"}}});
    const Json overflow = {{"stack", {{"overflow", true}}}};
    // Checked before the signal: the overflow is the cause of the SIGSEGV.
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(signal(11, "SIGSEGV", 8), backtrace, overflow)),
              "Stack overflow in recurse");

    // Without the executable's name the innermost named function stands in.
    auto unnamed = report(signal(11, "SIGSEGV", 8), backtrace, overflow);
    unnamed.erase("report");
    EXPECT_EQ(CrashDoctor::diagnoseCrash(unnamed), "Stack overflow in memcpy");

    const Json noOverflow = {{"stack", {{"overflow", false}}}};
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(signal(11, "SIGSEGV", 8), backtrace, noOverflow)),
              "Attempted to dereference garbage pointer at 0x8.");
}

TEST(CrashDoctorTest, UncaughtExceptionNamesItsReason) {
    Json error = {{"type", "nsexception"},
                  {"reason", "outer"},
                  {"nsexception", {{"name", "NSRangeException"}, {"reason", "inner"}}}};
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(error)),
              "Application threw exception NSRangeException: inner");
    error["nsexception"].erase("reason");
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(error)),
              "Application threw exception NSRangeException: outer");
}

TEST(CrashDoctorTest, MemoryCorruptionFromNotableTextOrAllocatorFrames) {
    const Json text = {
        {"notable_addresses",
         {{"rdi", {{"type", "string"}, {"value", "incorrect checksum for freed object 0x1234"}}}}}};
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(signal(6, "SIGABRT"), Json::array(), text)),
              "Rogue memory write has corrupted memory.");

    const Json pool = {
        {"notable_addresses",
         Json::array({{{"type", "string"}, {"value", "autorelease pool page 0x1 corrupted"}}})}};
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(signal(6, "SIGABRT"), Json::array(), pool)),
              "Rogue memory write has corrupted memory.");

    const Json frames =
        Json::array({{{"symbol_name", "abort"}}, {{"symbol_name", "free_list_checksum_botch"}}});
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(signal(6, "SIGABRT"), frames)),
              "Rogue memory write has corrupted memory.");

    // lookUpMethod counts only in the runtime's own image.
    const Json lookUp =
        Json::array({{{"symbol_name", "lookUpMethod"}, {"object_name", "shop-app"}}});
    EXPECT_FALSE(CrashDoctor::diagnoseCrash(report(signal(6, "SIGABRT"), lookUp)));
}

TEST(CrashDoctorTest, MathErrorFromTheMachExceptionOrElseTheSignal) {
    const std::string math = "Math error (usually caused from division by 0).";
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(signal(8, "SIGFPE"))), math);

    Json mach = signal(8, "SIGFPE");
    mach["mach"] = {{"exception", 3}, {"exception_name", "EXC_ARITHMETIC"}};
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(mach)), math);

    // A Mach exception that is not arithmetic decides over the signal.
    mach["mach"] = {{"exception", 6}, {"exception_name", "EXC_BREAKPOINT"}};
    EXPECT_FALSE(CrashDoctor::diagnoseCrash(report(mach)));

    // A zeroed Mach section, as a Linux report may carry, leaves it to the signal.
    mach["mach"] = {{"exception", 0}, {"code", 0}, {"subcode", 0}};
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(mach)), math);
}

TEST(CrashDoctorTest, InvalidAddressIsANullOrGarbagePointer) {
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(signal(11, "SIGSEGV", 0))),
              "Attempted to dereference null pointer.");
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(signal(11, "SIGSEGV", 0xdeadbeef))),
              "Attempted to dereference garbage pointer at 0xdeadbeef.");

    Json mach = signal(10, "SIGBUS", 0x20);
    mach["mach"] = {{"exception", 1},
                    {"exception_name", "EXC_BAD_ACCESS"},
                    {"code", 1},
                    {"code_name", "KERN_INVALID_ADDRESS"}};
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(mach)), "KERN_INVALID_ADDRESS at 0x20.");
    mach["mach"].erase("code_name");
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(mach)),
              "Attempted to dereference garbage pointer at 0x20.");

    EXPECT_FALSE(CrashDoctor::diagnoseCrash(report(signal(10, "SIGBUS", 0x20))));
}

TEST(CrashDoctorTest, TerminationRequestIsGraceful) {
    EXPECT_EQ(CrashDoctor::diagnoseCrash(report(signal(15, "SIGTERM"))),
              "Graceful OS termination requested.");
}

TEST(CrashDoctorTest, NothingToSayForOrdinaryOrMalformedReports) {
    EXPECT_FALSE(CrashDoctor::diagnoseCrash(report(signal(6, "SIGABRT"))));
    EXPECT_FALSE(CrashDoctor::diagnoseCrash(report({{"type", "cpp_exception"}})));
    for (const Json& malformed :
         {Json(), Json::array(), Json("crash"), Json::object(), Json{{"crash", "x"}},
          Json{{"crash", {{"threads", "x"}, {"error", 5}, {"crashed_thread", 3}}}}}) {
        EXPECT_FALSE(CrashDoctor::diagnoseCrash(malformed)) << malformed.dump();
    }
}

TEST(CrashDoctorTest, ExplicitCrashedThreadIsPreferred) {
    auto withOverflow = report(signal(6, "SIGABRT"));
    withOverflow["crash"]["crashed_thread"] = {
        {"stack", {{"overflow", true}}},
        {"backtrace",
         {{"contents", Json::array({{{"object_name", "shop-app"}, {"symbol_name", "deep"}}})}}}};
    EXPECT_EQ(CrashDoctor::diagnoseCrash(withOverflow), "Stack overflow in deep");
}

TEST(CrashDoctorTest, CallOnAFreedObjectIsAPossibleZombie) {
    const Json backtrace = Json::array({{{"symbol_name", "objc_msgSend"}}});
    const Json notable = {{"notable_addresses",
                           {{"rdi",
                             {{"address", 4096},
                              {"type", "objc_object"},
                              {"class", "_NSZombie_"},
                              {"last_deallocated_obj", {{"class", "ShopCart"}}}}},
                            {"rsi", {{"address", 8192}, {"type", "string"}, {"value", "total"}}}}}};
    auto zombie = report(signal(11, "SIGSEGV", 0x10), backtrace, notable);
    zombie["system"] = {{"cpu_arch", "x86_64"}};
    const auto diagnosis = CrashDoctor::diagnoseCrash(zombie);
    ASSERT_TRUE(diagnosis);
    EXPECT_EQ(diagnosis->rfind("Possible zombie in call: objc_msgSend(", 0), 0u) << *diagnosis;
    EXPECT_NE(diagnosis->find("ShopCart"), std::string::npos) << *diagnosis;

    const auto call = CrashDoctor::lastFunctionCall(zombie);
    ASSERT_EQ(call.params.size(), 4u);
    EXPECT_EQ(call.params[0].previousClassName, "ShopCart");
    EXPECT_TRUE(call.params[0].isInstance);
    EXPECT_EQ(call.params[1].value, "total");
    EXPECT_EQ(call.descriptionWithParamCount(1), "objc_msgSend(_NSZombie_ (freed ShopCart))");

    // Another processor family reads other registers: no parameters found.
    zombie["system"]["cpu_arch"] = "arm64";
    EXPECT_EQ(CrashDoctor::diagnoseCrash(zombie),
              "Attempted to dereference garbage pointer at 0x10.");

    // A live object is no zombie.
    zombie["system"]["cpu_arch"] = "x86_64";
    zombie["crash"]["threads"][1]["notable_addresses"]["rdi"].erase("last_deallocated_obj");
    EXPECT_EQ(CrashDoctor::diagnoseCrash(zombie),
              "Attempted to dereference garbage pointer at 0x10.");
}

TEST(CrashDoctorTest, DiagnosisIsStoredInTheCrashAndTheEmbeddedReport) {
    Json recrash = report(signal(15, "SIGTERM"));
    recrash["recrash_report"] = report(signal(6, "SIGABRT"));
    CrashDoctor::addDiagnosis(recrash);
    EXPECT_EQ(recrash["crash"]["diagnosis"], "Graceful OS termination requested.");
    EXPECT_EQ(recrash["recrash_report"]["crash"]["diagnosis"],
              "Graceful OS termination requested.");

    Json plain = report(signal(6, "SIGABRT"));
    CrashDoctor::addDiagnosis(plain);
    EXPECT_FALSE(plain["crash"].contains("diagnosis"));

    Json notObject = Json::array();
    CrashDoctor::addDiagnosis(notObject);
    EXPECT_EQ(notObject, Json::array());
}

}  // namespace
}  // namespace skald::test
