#include "crash/recording/cached_data.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace skald::crash {
namespace {

pid_t currentTid() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

TEST(CachedDataTest, SnapshotHoldsThreadsWithTheirNames) {
    ::pthread_setname_np(::pthread_self(), "cache-main");
    ASSERT_TRUE(CachedData::refresh());
    EXPECT_GE(CachedData::threadCount(), 1);
    EXPECT_STREQ(CachedData::threadName(currentTid()), "cache-main");
    EXPECT_EQ(CachedData::queueName(currentTid()), nullptr);
    EXPECT_EQ(CachedData::threadName(-5), nullptr);

    std::atomic<pid_t> workerTid{0};
    std::atomic<bool> release{false};
    std::thread worker([&] {
        ::pthread_setname_np(::pthread_self(), "named-worker");
        workerTid = currentTid();
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (workerTid == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(CachedData::threadName(workerTid), nullptr) << "not in the snapshot yet";
    ASSERT_TRUE(CachedData::refresh());
    EXPECT_STREQ(CachedData::threadName(workerTid), "named-worker");
    std::vector<pid_t> ids(CachedData::kMaxThreads);
    const int n = CachedData::threadIds(ids.data(), static_cast<int>(ids.size()));
    EXPECT_NE(std::find(ids.begin(), ids.begin() + n, workerTid.load()), ids.begin() + n);
    release = true;
    worker.join();
}

TEST(CachedDataTest, FreezingKeepsTheSnapshotStill) {
    ASSERT_TRUE(CachedData::refresh());
    const int before = CachedData::threadCount();
    CachedData::freeze();
    std::thread extra([] { EXPECT_FALSE(CachedData::refresh()); });
    extra.join();
    EXPECT_EQ(CachedData::threadCount(), before);
    CachedData::unfreeze();
    CachedData::unfreeze();  // unbalanced: must not leave the cache frozen for ever
    EXPECT_TRUE(CachedData::refresh());
}

TEST(CachedDataTest, FirstFourRefreshesAreOneSecondApart) {
    std::mutex mutex;
    std::vector<double> waits;
    CachedData::setSleeper([&](double seconds) {
        {
            std::lock_guard guard(mutex);
            waits.push_back(seconds);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    CachedData::start(7);
    CachedData::start(7);  // a second start does nothing
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard guard(mutex);
            if (waits.size() >= 7) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CachedData::stop();
    CachedData::setSleeper(nullptr);
    std::lock_guard guard(mutex);
    ASSERT_GE(waits.size(), 7u);
    EXPECT_LT(waits[0], 0.001) << "a short pause before the first refresh";
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(waits[i], 1.0) << i;
    EXPECT_EQ(waits[5], 7.0);
    EXPECT_EQ(waits[6], 7.0);
}

}  // namespace
}  // namespace skald::crash
