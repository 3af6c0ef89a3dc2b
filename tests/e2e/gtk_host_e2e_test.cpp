// The GTK host example, under a virtual X server, against the local
// receiver: its GLib main context is the SDK's main queue, so a frozen
// window gives a hang report, and its window drives sessions and breadcrumbs.
#include <gtest/gtest.h>

#include "e2e/example_fixture.h"
#include "support/xvfb.h"

namespace skald::test {
namespace {

class GtkHostEndToEnd : public ExampleEndToEnd {
  protected:
    void SetUp() override {
        ExampleEndToEnd::SetUp();
        if (!Xvfb::installed()) GTEST_SKIP() << "Xvfb is not installed";
        const std::string& display = Xvfb::shared().display();
        ASSERT_FALSE(display.empty()) << "Xvfb did not start";
        extraEnvironment.push_back("DISPLAY=" + display);
    }

    /// Items of `type` from every received envelope, in arrival order.
    std::vector<Json> items(const std::string& type) {
        std::vector<Json> all;
        for (const auto& envelope : receivedEnvelopes())
            for (auto& item : itemsOfType(*envelope, type)) all.push_back(std::move(item));
        return all;
    }

    static bool isHang(const Json& event) {
        return event.contains("exception") &&
               event["exception"]["values"][0].value("type", "") == "App Hanging";
    }
};

TEST_F(GtkHostEndToEnd, FrozenWindowGivesOneHangAndTheRunItsSessionAndBreadcrumbs) {
    const auto run = runProgram(SKALD_GTK_HOST_PATH, {"--debug", "--freeze", "3000", "--message",
                                                      "after the freeze", "--quit-after", "500"});
    ASSERT_EQ(run.status, 0) << run.output;

    std::vector<Json> hangs;
    const Json* message = nullptr;
    const auto events = items("event");
    for (const auto& event : events) {
        if (isHang(event)) hangs.push_back(event);
        if (event.value("message", Json::object()).value("formatted", "") == "after the freeze")
            message = &event;
    }
    ASSERT_EQ(hangs.size(), 1u) << exampleLog();
    bool named = false;
    for (const auto& frame : hangs[0]["exception"]["values"][0]["stacktrace"]["frames"]) {
        if (frame.value("function", "") == "gtkHostFreezeMainLoop") named = true;
    }
    EXPECT_TRUE(named) << hangs[0]["exception"].dump(1);
    EXPECT_EQ(hangs[0]["threads"]["values"][0]["main"], true);

    ASSERT_NE(message, nullptr) << exampleLog();
    std::vector<std::string> categories;
    for (const auto& crumb : (*message)["breadcrumbs"]) categories.push_back(crumb["category"]);
    ASSERT_GE(categories.size(), 2u);
    EXPECT_EQ(categories[0], "started");
    EXPECT_EQ(categories[1], "app.lifecycle");

    const auto sessions = items("session");
    ASSERT_GE(sessions.size(), 2u) << exampleLog();
    EXPECT_EQ(sessions.front()["init"], true);
    EXPECT_EQ(sessions.front()["status"], "ok");
    EXPECT_EQ(sessions.front()["attrs"]["release"], "skald-gtk-host@1.0.0");
    EXPECT_EQ(sessions.back()["sid"], sessions.front()["sid"]);
    EXPECT_EQ(sessions.back()["status"], "exited");
}

TEST_F(GtkHostEndToEnd, ShortFreezeGivesNoHang) {
    const auto run = runProgram(SKALD_GTK_HOST_PATH,
                                {"--freeze", "1000", "--message", "short", "--quit-after", "300"});
    ASSERT_EQ(run.status, 0) << run.output;
    size_t messages = 0;
    for (const auto& event : items("event")) {
        EXPECT_FALSE(isHang(event));
        if (event.value("message", Json::object()).value("formatted", "") == "short") ++messages;
    }
    EXPECT_EQ(messages, 1u) << exampleLog();
}

}  // namespace
}  // namespace skald::test
