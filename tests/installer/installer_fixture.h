#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "installer/app_delegate.h"
#include "installer/view_controller.h"
#include "platform/app/scripted_frontend.h"
#include "skald/app/application.h"
#include "skald/platform/property_list.h"
#include "skald/platform/tool_paths.h"
#include "skald/sdk.h"
#include "tools/download_service/download_service.h"
#include "tools/receiver/receiver.h"
#include "util/json_bytes.h"

extern char** environ;

namespace vantorel::test {

namespace fs = std::filesystem;

/// The information dictionary of the built installer bundle.
inline skald::Json installerInfo() {
    return skald::platform::readPropertyListFile(std::string(VANTOREL_INSTALLER_BUNDLE) +
                                                 "/Contents/Info.plist")
        .value_or(skald::Json());
}

/// A whole installer run against a local receiver and download service, in a
/// fresh home folder, shown through the scripted frontend.
class InstallerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::temp_directory_path() /
               ("vantorel-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(root);
        for (const char* dir : {"home", "data", "cache", "tmp", "Applications"})
            fs::create_directories(root / dir);
        ::setenv("HOME", (root / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        ::setenv("VANTOREL_APP_LIFETIME", "1", 1);
        ::unsetenv("VANTOREL_HOST");
        ::unsetenv("VANTOREL_BUILD");

        // The browser stand-in records what it was asked to open.
        opened = root / "opened.txt";
        const auto opener = root / "url-opener.sh";
        std::ofstream(opener) << "#!/bin/sh\necho \"$@\" >> '" << opened.string() << "'\n";
        fs::permissions(opener, fs::perms::owner_all);
        skald::platform::ToolPaths::setUrlOpenerPath(opener.string());

        skald::tools::ReceiverConfig receiverConfig;
        receiverConfig.port = 0;
        receiverConfig.output = [](const std::string&) {};
        receiver = std::make_unique<skald::tools::Receiver>(receiverConfig);
        ASSERT_TRUE(receiver->start());

        settings.dsn = "http://0123456789abcdef0123456789abcdef@127.0.0.1:" +
                       std::to_string(receiver->port()) + "/1";
        settings.applicationsFolder = (root / "Applications").string();
        settings.homeDirectory = (root / "home").string();
        settings.applicationSupportDirectory = (root / "data").string();
        settings.temporaryDirectory = (root / "tmp").string();
        settings.quitDelaySeconds = 0.3;
        // Copies of the product launched by tests running beside this one
        // must not count as a running instance here.
        settings.productBundleIdentifier = "com.vantorel.test-" + std::to_string(::getpid());
    }

    void TearDown() override {
        skald::SDK::close();
        skald::platform::ToolPaths::setUrlOpenerPath(std::nullopt);
        if (service) service->stop();
        receiver->stop();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    void startService(std::function<void(skald::tools::DownloadServiceConfig&)> change = {}) {
        skald::tools::DownloadServiceConfig config;
        config.appBundle = VANTOREL_DEMO_APP_DIR;
        config.dataDirectory = (root / "service").string();
        if (change) change(config);
        service = std::make_unique<skald::tools::DownloadService>(config);
        auto error = service->start();
        ASSERT_FALSE(error) << error->description();
        settings.developmentOrigin = service->baseUrl();
    }

    /// Runs the installer until it quits (or `limit` passes); gives the exit code.
    int runInstaller(std::chrono::seconds limit = std::chrono::seconds(40),
                     std::function<void(ViewController&)> prepare = {}) {
        frontend = std::make_shared<skald::app::ScriptedFrontend>();
        for (auto response : responses) frontend->enqueueResponse(response);
        if (responder) frontend->setResponder(responder);
        skald::app::Application application(frontend);
        application.setUncaughtExceptionAction(skald::app::UncaughtExceptionAction::Terminate);
        controller = std::make_shared<ViewController>(settings);
        controller->crashedLastRun = [this] { return crashed; };
        if (prepare) prepare(*controller);
        application.mainWindow().setContentViewController(controller);
        AppDelegate delegate(settings.dsn);
        std::atomic<bool> done{false};
        std::thread watchdog([&] {
            const auto end = std::chrono::steady_clock::now() + limit;
            while (!done && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (!done) {
                timedOut = true;
                application.terminate();
            }
        });
        started = std::chrono::steady_clock::now();
        const int code = application.run(delegate);
        ended = std::chrono::steady_clock::now();
        done = true;
        watchdog.join();
        skald::SDK::flush(5);
        return code;
    }

    /// Starts the installer bundle's executable with the fixture's settings
    /// and `frontend`, its input from /dev/null; `extraEnvironment` holds
    /// "NAME=value" texts. Gives the child's id, or -1.
    pid_t startInstallerProcess(const std::vector<std::string>& extraEnvironment = {},
                                const std::string& frontend = "scripted") {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            // The settings below win over the caller's own.
            const std::string_view text(*entry);
            if (!text.starts_with("VANTOREL_DEV_") && !text.starts_with("VANTOREL_TOOL_"))
                environment.push_back(*entry);
        }
        environment.push_back("VANTOREL_DEV_DSN=" + settings.dsn);
        environment.push_back("VANTOREL_DEV_DOWNLOAD_ORIGIN=" +
                              settings.developmentOrigin.value_or("http://127.0.0.1:9"));
        environment.push_back("VANTOREL_DEV_APPLICATIONS_DIR=" + settings.applicationsFolder);
        environment.push_back("VANTOREL_DEV_PRODUCT_IDENTIFIER=" +
                              settings.productBundleIdentifier);
        environment.push_back("VANTOREL_TOOL_URL_OPENER=" + (root / "url-opener.sh").string());
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<std::string> args = {VANTOREL_INSTALLER_PATH, "--frontend=" + frontend};
        std::vector<char*> argv, envp;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        for (auto& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const auto log = (root / "installer.log").string();
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t child = 0;
        const int spawned =
            ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        return spawned == 0 ? child : -1;
    }

    /// Waits for the child at most `limit`, then kills it; gives its wait status.
    static int waitForProcess(pid_t child, std::chrono::seconds limit) {
        int status = 0;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (::waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status;
    }

    std::string installerLog() {
        std::ifstream file(root / "installer.log");
        return std::string((std::istreambuf_iterator<char>(file)), {});
    }

    /// The event JSON of every envelope the receiver got.
    std::vector<skald::Json> receivedEvents() {
        std::vector<skald::Json> events;
        for (const auto& envelope : receiver->received()) {
            size_t start = 0;
            std::vector<std::string> lines;
            while (start <= envelope.body.size()) {
                auto end = envelope.body.find('\n', start);
                if (end == std::string::npos) end = envelope.body.size();
                lines.push_back(envelope.body.substr(start, end - start));
                start = end + 1;
            }
            for (size_t i = 1; i + 1 < lines.size(); ++i) {
                auto header = skald::parseJsonBytes(lines[i]);
                if (header && header->value("type", "") == "event") {
                    if (auto event = skald::parseJsonBytes(lines[i + 1])) events.push_back(*event);
                }
            }
        }
        return events;
    }

    std::string openedUrls() {
        std::ifstream file(opened);
        return std::string((std::istreambuf_iterator<char>(file)), {});
    }

    bool appLaunched() {
        // The demo app leaves a marker in its data folder.
        for (int i = 0; i < 100; ++i) {
            if (fs::exists(root / "data" / "Vantorel" / "launched")) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    /// The installer's own breadcrumbs: the SDK's automatic ones (start
    /// marker, activation, connectivity) are left out.
    std::vector<skald::Json> ownBreadcrumbs(const skald::Json& event) {
        std::vector<skald::Json> own;
        for (const auto& crumb : event["breadcrumbs"]) {
            const std::string category = crumb.value("category", "");
            // The SDK's automatic ones: its start, the application's and the
            // network's state, and the download's request (whose breadcrumb
            // comes when its task ends, before or after the installer's own).
            if (category != "started" && category != "app.lifecycle" &&
                category != "device.connectivity" && category != "http")
                own.push_back(crumb);
        }
        return own;
    }
    std::vector<std::string> breadcrumbMessages(const skald::Json& event) {
        std::vector<std::string> messages;
        for (const auto& crumb : ownBreadcrumbs(event))
            messages.push_back(crumb.value("message", ""));
        return messages;
    }

    fs::path root;
    fs::path opened;
    InstallerSettings settings;
    std::unique_ptr<skald::tools::Receiver> receiver;
    std::unique_ptr<skald::tools::DownloadService> service;
    std::shared_ptr<skald::app::ScriptedFrontend> frontend;
    std::shared_ptr<ViewController> controller;
    std::vector<skald::app::ModalResponse> responses;
    skald::app::ScriptedFrontend::Responder responder;
    bool crashed = false;
    std::atomic<bool> timedOut{false};
    std::chrono::steady_clock::time_point started, ended;
};

}  // namespace vantorel::test
