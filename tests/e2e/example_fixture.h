#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "envelope/serialization.h"
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

    // Runs the example with `args`; gives its exit status (1000 + signal when killed).
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

}  // namespace skald::test
