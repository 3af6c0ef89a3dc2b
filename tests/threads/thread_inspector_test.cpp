#include "core/thread_inspector.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "core/debug_image_provider.h"
#include "core/dependency_container.h"
#include "crash/async_safe/thread_suspension.h"
#include "crash/recording/binary_image_cache.h"
#include "crash/reporting/hex_address.h"
#include "threads/image_test_support.h"

namespace skald {
namespace {

/// A thread with a kernel name that waits until the test is done with it.
class NamedThread {
  public:
    explicit NamedThread(const char* name) {
        thread_ = std::thread([this, name] {
            ::pthread_setname_np(::pthread_self(), name);
            std::unique_lock lock(mutex_);
            id_ = ::gettid();
            changed_.notify_all();
            changed_.wait(lock, [this] { return done_; });
        });
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return id_ != 0; });
    }
    ~NamedThread() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    pid_t id() const { return id_; }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    pid_t id_ = 0;
    bool done_ = false;
    std::thread thread_;
};

std::shared_ptr<ThreadInspector> makeInspector() {
    Options options;
    options.debug = true;
    return std::make_shared<ThreadInspector>(options);
}

std::string commOf(pid_t id) {
    return ThreadInspector::getThreadName(id).value_or("?");
}

TEST(ThreadInspectorTest, MainThreadFirstCurrentThreadWithStack) {
    ASSERT_EQ(::gettid(), ::getpid()) << "the tests run on the main thread";
    NamedThread probe("skald-probe");
    const auto threads = makeInspector()->getCurrentThreads();
    ASSERT_GE(threads.size(), 2u);

    EXPECT_EQ(threads[0]->isMain, true);
    EXPECT_EQ(threads[0]->current, true);
    EXPECT_EQ(threads[0]->name, commOf(::getpid()));
    EXPECT_EQ(threads[0]->name,
              test::executablePath().substr(test::executablePath().rfind('/') + 1, 15));
    ASSERT_TRUE(threads[0]->stacktrace);
    EXPECT_FALSE(threads[0]->stacktrace->frames.empty());

    std::set<uint64_t> ids;
    size_t probes = 0;
    for (size_t i = 0; i < threads.size(); ++i) {
        const auto& thread = *threads[i];
        EXPECT_EQ(thread.crashed, false);
        ASSERT_TRUE(thread.threadId);
        EXPECT_LT(*thread.threadId, threads.size());
        ids.insert(*thread.threadId);
        if (i == 0) continue;
        EXPECT_EQ(thread.isMain, false);
        EXPECT_EQ(thread.current, false);
        EXPECT_FALSE(thread.stacktrace) << "only the calling thread is walked";
        if (thread.name == "skald-probe") ++probes;
    }
    EXPECT_EQ(ids.size(), threads.size()) << "ids are distinct positions";
    EXPECT_EQ(probes, 1u);
}

TEST(ThreadInspectorTest, FromAnotherThreadTheMainThreadStaysFirst) {
    auto inspector = makeInspector();
    std::vector<std::shared_ptr<Thread>> threads;
    pid_t caller = 0;
    std::thread worker([&] {
        ::pthread_setname_np(::pthread_self(), "skald-worker");
        caller = ::gettid();
        threads = inspector->getCurrentThreadsWithStackTrace();
    });
    worker.join();
    ASSERT_GE(threads.size(), 2u);
    EXPECT_EQ(threads[0]->isMain, true);
    EXPECT_EQ(threads[0]->current, false);
    // The main thread, stopped while it waits for the worker, walked its own stack.
    ASSERT_TRUE(threads[0]->stacktrace);
    EXPECT_FALSE(threads[0]->stacktrace->frames.empty());
    EXPECT_LE(threads[0]->stacktrace->frames.size(), 100u);
    size_t current = 0;
    for (const auto& thread : threads) {
        if (thread->current != true) continue;
        ++current;
        EXPECT_EQ(thread->name, "skald-worker");
        ASSERT_TRUE(thread->stacktrace);
        EXPECT_FALSE(thread->stacktrace->frames.empty());
        EXPECT_LE(thread->stacktrace->frames.size(), 100u);
    }
    EXPECT_EQ(current, 1u);
    EXPECT_FALSE(ThreadInspector::getThreadName(caller)) << "the worker has ended";
}

TEST(ThreadInspectorTest, ThreadThatCannotBeStoppedIsListedWithoutAStack) {
    // Both named before the stacks are taken.
    std::atomic<int> ready{0};
    std::atomic<bool> done{false};
    std::thread deaf([&] {
        ::pthread_setname_np(::pthread_self(), "skald-deaf");
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, crash::suspensionSignal());
        ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        ++ready;
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    std::thread answering([&] {
        ::pthread_setname_np(::pthread_self(), "skald-answers");
        ++ready;
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    while (ready < 2) std::this_thread::yield();
    const auto threads = makeInspector()->getCurrentThreadsWithStackTrace();
    done = true;
    deaf.join();
    answering.join();

    int seen = 0;
    for (const auto& thread : threads) {
        if (thread->name == "skald-deaf") {
            ++seen;
            EXPECT_FALSE(thread->stacktrace);
        } else if (thread->name == "skald-answers") {
            ++seen;
            ASSERT_TRUE(thread->stacktrace);
            EXPECT_FALSE(thread->stacktrace->frames.empty());
        }
    }
    EXPECT_EQ(seen, 2);
    EXPECT_FALSE(crash::isEnvironmentSuspended()) << "every stopped thread went on";
}

TEST(ThreadInspectorTest, StacksOfAllThreadsStopAtOneHundredEntries) {
    // Recursion deeper than the limit.
    struct Deep {
        static __attribute__((noinline)) size_t recurse(ThreadInspector& inspector, int depth) {
            if (depth == 0) {
                const auto threads = inspector.getCurrentThreadsWithStackTrace();
                for (const auto& thread : threads) {
                    if (thread->stacktrace) return thread->stacktrace->frames.size();
                }
                return 0;
            }
            const size_t result = recurse(inspector, depth - 1);
            asm volatile("" ::: "memory");
            return result;
        }
    };
    auto inspector = makeInspector();
    EXPECT_EQ(Deep::recurse(*inspector, 150), 100u);
    EXPECT_GT(inspector->stacktraceForCurrentThreadAsyncUnsafe()->frames.size(), 0u);
}

TEST(ThreadInspectorTest, DebugImagesOfTheCurrentThreadHoldTheExecutable) {
    const auto threads = makeInspector()->getCurrentThreads();
    auto images = DebugImageProvider().getDebugImagesForThreads(threads, false);
    const std::string path = test::executablePath();
    std::shared_ptr<DebugMeta> executable;
    for (const auto& image : images) {
        EXPECT_EQ(image->type, "elf");
        if (image->codeFile == path) executable = image;
    }
    ASSERT_TRUE(executable);
    const std::string buildId = test::buildIdFromReadelf(path).value_or("");
    ASSERT_GE(buildId.size(), 32u);
    // The first three fields are the build-id's bytes swapped, the rest in order.
    const std::string expected =
        buildId.substr(6, 2) + buildId.substr(4, 2) + buildId.substr(2, 2) + buildId.substr(0, 2) +
        "-" + buildId.substr(10, 2) + buildId.substr(8, 2) + "-" + buildId.substr(14, 2) +
        buildId.substr(12, 2) + "-" + buildId.substr(16, 4) + "-" + buildId.substr(20, 12);
    EXPECT_EQ(executable->debugID, expected);
    EXPECT_EQ(executable->imageAddress, crash::hexAddress(test::imageNamed(path)->address));

    // Every frame's image is among them, and nothing else.
    std::set<std::string> frameImages;
    for (const auto& frame : threads[0]->stacktrace->frames) {
        if (frame->imageAddress) frameImages.insert(*frame->imageAddress);
    }
    std::set<std::string> imageAddresses;
    for (const auto& image : images) imageAddresses.insert(*image->imageAddress);
    EXPECT_EQ(imageAddresses, frameImages);
}

TEST(ThreadInspectorTest, DependencyContainerMakesItOnceFromDefaultOptions) {
    DependencyContainer::reset();
    auto container = DependencyContainer::sharedInstance();
    EXPECT_TRUE(container->binaryImageCache());
    EXPECT_TRUE(container->debugImageProvider());
    const auto inspector = container->threadInspector();
    EXPECT_EQ(container->threadInspector(), inspector);
    EXPECT_FALSE(inspector->stacktraceBuilder()->symbolicate) << "default options: no debug";
    DependencyContainer::reset();
}

}  // namespace
}  // namespace skald
