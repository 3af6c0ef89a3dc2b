// A crash of the example program reaches the receiver as a fatal event at
// the program's next start.
#include <gtest/gtest.h>
#include <signal.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>

#include "e2e/example_fixture.h"

namespace skald::test {
namespace {

class CrashEndToEnd : public ExampleEndToEnd {
  protected:
    /// Crash report files left anywhere under the home directory.
    std::vector<fs::path> reportFiles() {
        std::vector<fs::path> files;
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
            const auto name = entry.path().filename().string();
            if (name.find("-report-") != std::string::npos && entry.path().extension() == ".json")
                files.push_back(entry.path());
        }
        return files;
    }

    /// The fatal events among those stored.
    std::vector<Json> fatalEvents() {
        std::vector<Json> fatal;
        for (auto& event : storedEvents())
            if (event.value("level", "") == "fatal") fatal.push_back(event);
        return fatal;
    }

    /// Sets a user, tags, extras, a context and five breadcrumbs, then crashes.
    int crashWithScope(const std::string& kind, const std::vector<std::string>& before = {}) {
        std::vector<std::string> args = {"--release", "e2e@1.2.3", "--max-breadcrumbs", "4"};
        args.insert(args.end(), before.begin(), before.end());
        for (const char* crumb : {"one", "two", "three", "four", "five"}) {
            args.push_back("--breadcrumb");
            args.push_back(crumb);
        }
        const std::vector<std::string> scope = {"--user",    "user-7",
                                                "--email",   "seven@example.com",
                                                "--tag",     "screen=checkout",
                                                "--extra",   "cart=3 items",
                                                "--context", R"(settings={"theme":"dark"})"};
        args.insert(args.end(), scope.begin(), scope.end());
        args.push_back("--crash");
        args.push_back(kind);
        return runExample(args);
    }
};

const Json* crashedThread(const Json& event) {
    for (const auto& thread : event["threads"]["values"])
        if (thread.value("crashed", false)) return &thread;
    return nullptr;
}

bool hasFunction(const Json& thread, const std::string& function) {
    for (const auto& frame : thread["stacktrace"]["frames"])
        if (frame.value("function", "") == function) return true;
    return false;
}

TEST_F(CrashEndToEnd, ASegfaultArrivesAtTheNextStartWithTheScopeOfTheCrash) {
    EXPECT_EQ(crashWithScope("segv"), 1000 + SIGSEGV) << exampleLog();
    ASSERT_EQ(reportFiles().size(), 1u) << exampleLog();
    EXPECT_TRUE(fatalEvents().empty());

    EXPECT_EQ(runExample({"--crashed-last-run", "-"}), 0) << exampleLog();
    EXPECT_NE(exampleLog().find("crashed last run: yes"), std::string::npos);
    const auto events = fatalEvents();
    ASSERT_EQ(events.size(), 1u) << exampleLog();
    const Json& event = events.front();
    SCOPED_TRACE(event.dump().substr(0, 3000));

    ASSERT_EQ(event["exception"]["values"].size(), 1u);
    const Json& exception = event["exception"]["values"][0];
    EXPECT_EQ(exception["type"], "SIGSEGV");
    // The signal's own text and the diagnosis; texts that registers pointed
    // at (the command line's "segv", say) stay out of it.
    EXPECT_EQ(exception["value"], "Signal 11, Code 1 >\nAttempted to dereference null pointer.");
    EXPECT_EQ(exception["mechanism"]["type"], "signal");
    EXPECT_EQ(exception["mechanism"]["handled"], false);
    EXPECT_EQ(exception["mechanism"]["meta"]["signal"]["name"], "SIGSEGV");
    EXPECT_EQ(exception["mechanism"]["meta"]["signal"]["number"], 11);
    EXPECT_EQ(exception["mechanism"]["meta"]["mach_exception"]["name"], "EXC_BAD_ACCESS");

    const Json* crashed = crashedThread(event);
    ASSERT_TRUE(crashed);
    EXPECT_TRUE(hasFunction(*crashed, "exampleCrashNullPointer"));
    EXPECT_EQ(exception["thread_id"], (*crashed)["id"]);
    EXPECT_FALSE(event["debug_meta"]["images"].empty());
    for (const auto& image : event["debug_meta"]["images"]) EXPECT_EQ(image["type"], "elf");

    EXPECT_EQ(event["user"]["id"], "user-7");
    EXPECT_EQ(event["user"]["email"], "seven@example.com");
    EXPECT_EQ(event["tags"]["screen"], "checkout");
    EXPECT_EQ(event["extra"]["cart"], "3 items");
    EXPECT_EQ(event["contexts"]["settings"]["theme"], "dark");
    EXPECT_EQ(event["release"], "e2e@1.2.3");
    // Capped at the limit, oldest first.
    // A connectivity breadcrumb of the SDK's may be among the newest four,
    // whenever the network was first seen: the program's own are the newest
    // of theirs, in order.
    ASSERT_EQ(event["breadcrumbs"].size(), 4u);
    std::vector<std::string> own;
    for (const auto& crumb : event["breadcrumbs"]) {
        if (crumb["category"] != "device.connectivity") own.push_back(crumb.value("message", ""));
    }
    const std::vector<std::string> added = {"one", "two", "three", "four", "five"};
    ASSERT_GE(own.size(), 3u);
    EXPECT_TRUE(std::equal(own.rbegin(), own.rend(), added.rbegin()));

    EXPECT_TRUE(reportFiles().empty());
    // Nothing more at the start after that.
    EXPECT_EQ(runExample({"--crashed-last-run", "-"}), 0);
    EXPECT_NE(exampleLog().find("crashed last run: no"), std::string::npos);
    EXPECT_EQ(fatalEvents().size(), 1u);
}

TEST_F(CrashEndToEnd, AnUncaughtExceptionArrivesAsACppException) {
    EXPECT_EQ(crashWithScope("cpp-exception"), 1000 + SIGABRT) << exampleLog();
    EXPECT_EQ(runExample({}), 0) << exampleLog();
    const auto events = fatalEvents();
    ASSERT_EQ(events.size(), 1u) << exampleLog();
    const Json& exception = events.front()["exception"]["values"][0];
    EXPECT_EQ(exception["type"], "C++ Exception");
    EXPECT_EQ(exception["value"], "std::runtime_error");
    const Json* crashed = crashedThread(events.front());
    ASSERT_TRUE(crashed);
    EXPECT_TRUE(hasFunction(*crashed, "exampleCrashThrow"));
}

TEST_F(CrashEndToEnd, AStackOverflowOnAnotherThreadArrives) {
    EXPECT_EQ(crashWithScope("stack-overflow"), 1000 + SIGSEGV) << exampleLog();
    EXPECT_EQ(runExample({}), 0) << exampleLog();
    const auto events = fatalEvents();
    ASSERT_EQ(events.size(), 1u) << exampleLog();
    EXPECT_EQ(events.front()["exception"]["values"][0]["type"], "SIGSEGV");
}

TEST_F(CrashEndToEnd, AStartUpCrashIsSentBeforeStartReturns) {
    // Crashes right after start: the next start sends before it goes on, so
    // even with no time to flush at exit the event arrives.
    EXPECT_EQ(crashWithScope("abort"), 1000 + SIGABRT);
    EXPECT_EQ(runExample({"--flush", "0"}), 0) << exampleLog();
    EXPECT_EQ(fatalEvents().size(), 1u) << exampleLog();
}

TEST_F(CrashEndToEnd, TheScopesAttachmentsAsTheyWereAtTheCrashTravelWithTheCrashEvent) {
    const fs::path log = root / "app.log";
    std::ofstream(log) << "written before the crash";
    const fs::path fifo = root / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(crashWithScope("segv", {"--scope-text", "notes.txt=taken at the crash",
                                      "--scope-file", log.string(), "--scope-file", fifo.string(),
                                      "--scope-file", (root / "missing.txt").string()}),
              1000 + SIGSEGV)
        << exampleLog();
    // What the crashed run saw is sent, not what the file holds by now.
    std::ofstream(log) << "written after the crash";

    EXPECT_EQ(runExample({}), 0) << exampleLog();
    std::map<std::string, std::string> attached;
    for (const auto& received : receiver->received()) {
        std::ifstream file(received.storedFile, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), {});
        const auto envelope = Serialization::envelopeWithData(bytes);
        if (!envelope) continue;
        bool fatal = false;
        for (const auto& item : envelope->items()) {
            if (item->header()->type() != "event") continue;
            const auto event = parseJsonBytes(item->data());
            fatal = event && event->value("level", "") == "fatal";
        }
        if (!fatal) continue;
        for (const auto& item : envelope->items()) {
            if (item->header()->type() == "attachment" && item->header()->filename())
                attached[*item->header()->filename()] = item->data();
        }
    }
    EXPECT_EQ(attached["notes.txt"], "taken at the crash") << exampleLog();
    EXPECT_EQ(attached["app.log"], "written before the crash");
    // A FIFO is not read (it could block the crashing process) and a missing
    // file is skipped; neither stops the others.
    EXPECT_EQ(attached.count("pipe"), 0u);
    EXPECT_EQ(attached.count("missing.txt"), 0u);
    EXPECT_EQ(attached.size(), 2u);
    EXPECT_TRUE(reportFiles().empty());
    // The copies go with their report.
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(root, error))
        EXPECT_EQ(entry.path().filename().string().find("-attachments"), std::string::npos)
            << entry.path();
}

TEST_F(CrashEndToEnd, WithoutTheCrashHandlerNothingIsCaughtOrClaimed) {
    EXPECT_EQ(crashWithScope("segv", {"--no-crash-handler"}), 1000 + SIGSEGV);
    EXPECT_TRUE(reportFiles().empty());
    EXPECT_EQ(runExample({"--no-crash-handler", "--crashed-last-run", "-"}), 0);
    EXPECT_NE(exampleLog().find("crashed last run: no"), std::string::npos);
}

}  // namespace
}  // namespace skald::test
