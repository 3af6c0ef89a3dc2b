#include "skald/exception.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

TEST(Exception, WritesValueTypeAndSetKeys) {
    Exception exception("division by zero", "SIGFPE");
    EXPECT_EQ(exception.serialize().dump(), R"({"value":"division by zero","type":"SIGFPE"})");

    exception.mechanism = std::make_shared<Mechanism>("signal");
    exception.module = "core";
    exception.threadId = 7;
    exception.stacktrace = std::make_shared<Stacktrace>();
    EXPECT_EQ(exception.serialize().dump(),
              R"({"value":"division by zero","type":"SIGFPE","mechanism":{"type":"signal"},)"
              R"("module":"core","thread_id":7,"stacktrace":{}})");
}

TEST(Mechanism, WritesEveryKeyInOrderAndSanitizesData) {
    Mechanism mechanism("mach");
    mechanism.handled = false;
    mechanism.synthetic = true;
    mechanism.desc = "EXC_BAD_ACCESS";
    mechanism.data = Json{{"relevant_address", "0x0"}, {"__skald_x", 1}};
    mechanism.helpLink = "https://example.invalid/help";
    mechanism.meta = std::make_shared<MechanismMeta>();
    EXPECT_EQ(mechanism.serialize().dump(),
              R"({"type":"mach","handled":false,"synthetic":true,"description":"EXC_BAD_ACCESS",)"
              R"("data":{"relevant_address":"0x0"},"help_link":"https://example.invalid/help",)"
              R"("meta":{}})");
}

TEST(MechanismMeta, WritesSanitizedDetailsAndTheError) {
    MechanismMeta meta;
    meta.signal = Json{{"number", 11}, {"name", "SIGSEGV"}, {"__skald_y", 0}};
    meta.machException = Json{{"exception", 1}, {"code", nullptr}};
    meta.error = std::make_shared<NSError>("com.vantorel", -1002);
    EXPECT_EQ(meta.serialize().dump(), R"({"signal":{"number":11,"name":"SIGSEGV"},)"
                                       R"("mach_exception":{"exception":1,"code":"<null>"},)"
                                       R"("ns_error":{"domain":"com.vantorel","code":-1002}})");
}

}  // namespace
}  // namespace skald
