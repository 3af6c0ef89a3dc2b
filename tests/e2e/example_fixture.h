#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "skald/serialization.h"
#include "tools/receiver/receiver.h"
#include "util/json_bytes.h"

extern char** environ;

namespace skald::test {

namespace fs = std::filesystem;

/// The example program against a local receiver, in a fresh home directory.
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

    struct Run {
        /// Exit status; 1000 + signal when killed by one, -1 when it could not run.
        int status = -1;
        bool timedOut = false;
        std::chrono::duration<double> elapsed{};
        /// From the line "work done" on the program's output to its exit.
        std::optional<std::chrono::duration<double>> afterWork;
        std::string output;
    };

    std::vector<std::string> environment() const {
        std::vector<std::string> env = {
            "SKALD_DSN=http://0123456789abcdef0123456789abcdef@127.0.0.1:" +
                std::to_string(receiver->port()) + "/7",
            "XDG_DATA_HOME=" + (root / "data").string(),
            "XDG_CACHE_HOME=" + (root / "cache").string(),
            "HOME=" + root.string(),
            "LANG=de_DE.UTF-8",
            "TZ=Europe/Berlin"};
        env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
        return env;
    }

    /// Runs `program` with `args`, its output and errors in one pipe; kills it
    /// after `timeout`.
    Run runProgram(const std::string& program, const std::vector<std::string>& args,
                   std::chrono::seconds timeout = std::chrono::seconds(120)) {
        using Clock = std::chrono::steady_clock;
        Run run;
        std::vector<std::string> env = environment();
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argp, envp;
        for (auto& a : argv) argp.push_back(a.data());
        argp.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return run;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        pid_t pid = 0;
        const auto started = Clock::now();
        const int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            ::close(fds[0]);
            return run;
        }
        std::optional<Clock::time_point> workDone;
        const auto deadline = started + timeout;
        int status = 0;
        bool ended = false;
        auto readSome = [&](int waitMs) {
            if (ended) {
                std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
                return false;
            }
            pollfd readable{fds[0], POLLIN, 0};
            if (::poll(&readable, 1, waitMs) <= 0) return false;
            char buffer[4096];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            ended = n <= 0;
            if (n <= 0) return false;
            run.output.append(buffer, static_cast<size_t>(n));
            if (!workDone && run.output.find("work done\n") != std::string::npos) {
                workDone = Clock::now();
            }
            return true;
        };
        // The exit is what waitpid sees, not the end of the pipe: a child of
        // the program may hold the pipe open.
        for (;;) {
            if (::waitpid(pid, &status, WNOHANG) == pid) break;
            if (Clock::now() >= deadline && !run.timedOut) {
                run.timedOut = true;
                ::kill(pid, SIGKILL);
            }
            readSome(1);
        }
        const auto exited = Clock::now();
        while (readSome(0)) {
        }
        ::close(fds[0]);
        run.elapsed = exited - started;
        if (workDone) run.afterWork = exited - *workDone;
        if (WIFSIGNALED(status)) {
            run.status = 1000 + WTERMSIG(status);
        } else if (WIFEXITED(status)) {
            run.status = WEXITSTATUS(status);
        }
        std::ofstream(root / "example.log") << run.output;
        return run;
    }

    // Runs the example with `args`; gives its exit status (1000 + signal when killed).
    int runExample(const std::vector<std::string>& args) {
        return runProgram(SKALD_EXAMPLE_PATH, args).status;
    }

    /// The stored envelopes, read back from the receiver's files, in arrival order.
    std::vector<std::shared_ptr<Envelope>> receivedEnvelopes() {
        std::vector<std::shared_ptr<Envelope>> envelopes;
        for (const auto& received : receiver->received()) {
            std::ifstream file(received.storedFile, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(file)), {});
            if (auto envelope = Serialization::envelopeWithData(bytes))
                envelopes.push_back(std::move(envelope));
        }
        return envelopes;
    }

    /// The JSON of every item of `type` in `envelope`.
    static std::vector<Json> itemsOfType(const Envelope& envelope, const std::string& type) {
        std::vector<Json> items;
        for (const auto& item : envelope.items()) {
            if (item->header()->type() != type) continue;
            if (auto json = parseJsonBytes(item->data())) items.push_back(std::move(*json));
        }
        return items;
    }

    // Events of the stored envelopes.
    std::vector<Json> storedEvents(std::vector<std::vector<std::string>>* itemTypes = nullptr) {
        std::vector<Json> events;
        for (const auto& envelope : receivedEnvelopes()) {
            if (itemTypes) {
                std::vector<std::string> types;
                for (const auto& item : envelope->items()) types.push_back(item->header()->type());
                itemTypes->push_back(std::move(types));
            }
            for (auto& event : itemsOfType(*envelope, "event")) events.push_back(std::move(event));
        }
        return events;
    }

    std::string exampleLog() {
        std::ifstream file(root / "example.log");
        return std::string((std::istreambuf_iterator<char>(file)), {});
    }

    fs::path root;
    std::unique_ptr<tools::Receiver> receiver;
    /// Added to every program's environment.
    std::vector<std::string> extraEnvironment;
};

}  // namespace skald::test
