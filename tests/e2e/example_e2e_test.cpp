// The example program, pointed at the local receiver, sends real envelopes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "envelope/serialization.h"
#include "tools/receiver/receiver.h"
#include "util/json_bytes.h"

extern char** environ;

namespace skald::test {
namespace {

namespace fs = std::filesystem;

class ExampleEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("skald-e2e-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "received");
        tools::ReceiverConfig config;
        config.port = 0;
        config.storeDirectory = (root / "received").string();
        config.output = [](const std::string&) {};
        receiver = std::make_unique<tools::Receiver>(config);
        std::string error;
        ASSERT_TRUE(receiver->start(&error)) << error;
    }
    void TearDown() override {
        receiver->stop();
        fs::remove_all(root);
    }

    // Runs the example with `args`; gives its exit status.
    int runExample(const std::vector<std::string>& args) {
        std::vector<std::string> env = {
            "SKALD_DSN=http://0123456789abcdef0123456789abcdef@127.0.0.1:" +
                std::to_string(receiver->port()) + "/7",
            "XDG_DATA_HOME=" + (root / "data").string(),
            "XDG_CACHE_HOME=" + (root / "cache").string(),
            "HOME=" + root.string(),
            "LANG=de_DE.UTF-8",
            "TZ=Europe/Berlin"};
        std::vector<std::string> argv = {SKALD_EXAMPLE_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argp, envp;
        for (auto& a : argv) argp.push_back(a.data());
        argp.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid = 0;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const auto log = (root / "example.log").string();
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return -1;
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -2;
        if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Events of the stored envelopes, read back from the receiver's files.
    std::vector<Json> storedEvents(std::vector<std::vector<std::string>>* itemTypes = nullptr) {
        std::vector<Json> events;
        for (const auto& received : receiver->received()) {
            std::ifstream file(received.storedFile, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(file)), {});
            auto envelope = Serialization::envelopeWithData(bytes);
            if (!envelope) continue;
            std::vector<std::string> types;
            for (const auto& item : envelope->items()) {
                types.push_back(item->header()->type());
                if (item->header()->type() == "event") {
                    if (auto json = parseJsonBytes(item->data())) events.push_back(*json);
                }
            }
            if (itemTypes) itemTypes->push_back(types);
        }
        return events;
    }

    std::string exampleLog() {
        std::ifstream file(root / "example.log");
        return std::string((std::istreambuf_iterator<char>(file)), {});
    }

    fs::path root;
    std::unique_ptr<tools::Receiver> receiver;
};

const Json* eventWith(const std::vector<Json>& events, const std::function<bool(const Json&)>& f) {
    for (const auto& e : events)
        if (f(e)) return &e;
    return nullptr;
}

void expectCommonEventShape(const Json& event) {
    SCOPED_TRACE(event.dump().substr(0, 400));
    ASSERT_EQ(event["breadcrumbs"].size(), 3u);
    EXPECT_EQ(event["breadcrumbs"][0]["message"], "opened settings");
    EXPECT_EQ(event["breadcrumbs"][2]["message"], "pressed save");
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
