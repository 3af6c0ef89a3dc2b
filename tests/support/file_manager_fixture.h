#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/dependency_container.h"
#include "persistence/file_manager.h"
#include "skald/options.h"
#include "support/test_current_date_provider.h"
#include "support/test_dispatch_queue_wrapper.h"

namespace skald::test {

/// A file manager over a fresh cache folder, with a test clock and an inline queue.
class FileManagerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = std::filesystem::temp_directory_path() /
               ("skald-fm-" + std::to_string(::getpid()) + "-" + info->name());
        std::filesystem::remove_all(root);
        cacheDir = root / "cache";
        ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        DependencyContainer::reset();
        clock = std::make_shared<TestCurrentDateProvider>();
        clock->setDate(std::chrono::system_clock::now());
        DependencyContainer::sharedInstance()->setDateProvider(clock);
        queue = std::make_shared<TestDispatchQueueWrapper>();

        options = std::make_shared<Options>();
        options->setDsn("https://public@localhost:9000/42");
        options->cacheDirectoryPath = cacheDir.string();
        Error error;
        manager = FileManager::make(*options, queue, &error);
        ASSERT_TRUE(manager) << error.description();
    }
    void TearDown() override {
        manager.reset();
        // Work still queued in the background (the installation id) may write here.
        DependencyContainer::sharedInstance()->dispatchQueueWrapper()->dispatchSync([] {});
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
        DependencyContainer::reset();
    }

    std::filesystem::path root;
    std::filesystem::path cacheDir;
    std::shared_ptr<TestCurrentDateProvider> clock;
    std::shared_ptr<TestDispatchQueueWrapper> queue;
    std::shared_ptr<Options> options;
    std::shared_ptr<FileManager> manager;
};

}  // namespace skald::test
