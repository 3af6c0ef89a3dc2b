// The example program, pointed at the local receiver, sends real envelopes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "e2e/example_fixture.h"

namespace skald::test {
namespace {

const Json* eventWith(const std::vector<Json>& events, const std::function<bool(const Json&)>& f) {
    for (const auto& e : events)
        if (f(e)) return &e;
    return nullptr;
}

void expectCommonEventShape(const Json& event) {
    SCOPED_TRACE(event.dump().substr(0, 400));
    // The SDK's start marker, then the program's own (a connectivity
    // breadcrumb may come between, whenever the network is first seen).
    ASSERT_FALSE(event["breadcrumbs"].empty());
    EXPECT_EQ(event["breadcrumbs"][0]["category"], "started");
    std::vector<Json> own;
    for (const auto& crumb : event["breadcrumbs"]) {
        if (crumb["category"] != "started" && crumb["category"] != "device.connectivity")
            own.push_back(crumb);
    }
    ASSERT_EQ(own.size(), 3u);
    EXPECT_EQ(own[0]["message"], "opened settings");
    EXPECT_EQ(own[2]["message"], "pressed save");
    EXPECT_EQ(event["tags"]["screen"], "settings");
    EXPECT_EQ(event["user"]["id"], "user-42");
    EXPECT_EQ(event["user"]["email"], "ada@example.com");
    EXPECT_EQ(event["release"], "e2e@3.1.4");
    EXPECT_EQ(event["environment"], "e2e");
    EXPECT_EQ(event["sdk"]["name"], "skald.cocoa");
    EXPECT_EQ(event["sdk"]["version"], "1.0.0");
    EXPECT_TRUE(event["sdk"]["integrations"].is_array());
    for (const char* context : {"os", "device", "app", "culture"})
        EXPECT_TRUE(event["contexts"].contains(context)) << context;
    EXPECT_EQ(event["contexts"]["os"]["name"], "Linux");
    EXPECT_EQ(event["contexts"]["culture"]["locale"], "de_DE");
    EXPECT_EQ(event["contexts"]["culture"]["timezone"], "Europe/Berlin");
    EXPECT_EQ(event["contexts"]["settings"]["theme"], "dark");
    EXPECT_EQ(event["extra"]["build"], "nightly");

    // The capturing thread has a stack; its frames' images are all described.
    const Json* current = nullptr;
    for (const auto& thread : event["threads"]["values"])
        if (thread.value("current", false)) current = &thread;
    ASSERT_TRUE(current);
    const auto& frames = (*current)["stacktrace"]["frames"];
    ASSERT_FALSE(frames.empty());
    std::set<std::string> images;
    for (const auto& image : event["debug_meta"]["images"]) {
        EXPECT_EQ(image["type"], "elf");
        EXPECT_FALSE(image.value("debug_id", "").empty()) << image.dump();
        images.insert(image["image_addr"].get<std::string>());
    }
    for (const auto& frame : frames) {
        if (frame.contains("image_addr"))
            EXPECT_TRUE(images.count(frame["image_addr"].get<std::string>())) << frame.dump();
    }
}

bool hasFunction(const Json& event, const std::string& name) {
    for (const auto& thread : event["threads"]["values"]) {
        if (!thread.contains("stacktrace")) continue;
        for (const auto& frame : thread["stacktrace"]["frames"]) {
            if (frame.value("function", "").find(name) != std::string::npos) return true;
        }
    }
    return false;
}

TEST_F(ExampleEndToEnd, MessageErrorAndAttachmentEventsReachTheService) {
    const auto attachment = root / "notes.txt";
    std::ofstream(attachment) << "attached text";
    const int status = runExample({"--debug",
                                   "--release",
                                   "e2e@3.1.4",
                                   "--environment",
                                   "e2e",
                                   "--cache-dir",
                                   (root / "sdk").string(),
                                   "--breadcrumb",
                                   "opened settings",
                                   "--user",
                                   "user-42",
                                   "--email",
                                   "ada@example.com",
                                   "--tag",
                                   "screen=settings",
                                   "--extra",
                                   "build=nightly",
                                   "--context",
                                   R"(settings={"theme":"dark"})",
                                   "--breadcrumb",
                                   "changed theme",
                                   "--breadcrumb",
                                   "pressed save",
                                   "--message",
                                   "Settings saved",
                                   "--error",
                                   "com.example.store:7:Could not save settings",
                                   "--underlying",
                                   "NSPOSIXErrorDomain:28:No space left on device",
                                   "--attachment",
                                   attachment.string(),
                                   "Settings with notes"});
    ASSERT_EQ(status, 0) << exampleLog();
    ASSERT_TRUE(receiver->waitForEnvelopes(3, std::chrono::seconds(10))) << exampleLog();

    std::vector<std::vector<std::string>> types;
    const auto events = storedEvents(&types);
    ASSERT_EQ(events.size(), 3u);

    const Json* message = eventWith(events, [](const Json& e) {
        return e.contains("message") && e["message"]["formatted"] == "Settings saved";
    });
    ASSERT_TRUE(message);
    EXPECT_EQ((*message)["level"], "info");
    expectCommonEventShape(*message);
    EXPECT_TRUE(hasFunction(*message, "main"));

    const Json* error = eventWith(events, [](const Json& e) { return e.contains("exception"); });
    ASSERT_TRUE(error);
    EXPECT_EQ((*error)["level"], "error");
    const auto& values = (*error)["exception"]["values"];
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0]["type"], "NSPOSIXErrorDomain");
    EXPECT_EQ(values[0]["value"], "No space left on device (Code: 28)");
    EXPECT_EQ(values[1]["type"], "com.example.store");
    expectCommonEventShape(*error);
    EXPECT_TRUE(hasFunction(*error, "captureErrorChain"));

    bool attachmentSent = false;
    for (const auto& t : types)
        if (t == std::vector<std::string>{"event", "attachment"}) attachmentSent = true;
    EXPECT_TRUE(attachmentSent);

    // Everything was delivered: nothing waits in the cache.
    size_t left = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root / "sdk")) {
        if (entry.is_regular_file() && entry.path().parent_path().filename() == "envelopes") ++left;
    }
    EXPECT_EQ(left, 0u);
}

TEST_F(ExampleEndToEnd, BadArgumentsAreReportedNotCrashed) {
    EXPECT_EQ(runExample({"--error", "no-code-here"}), 2);
    EXPECT_NE(exampleLog().find("expected DOMAIN:CODE:TEXT"), std::string::npos);
    EXPECT_EQ(runExample({"--frobnicate", "x"}), 2);
    EXPECT_EQ(runExample({"--help"}), 0);
}

}  // namespace
}  // namespace skald::test
