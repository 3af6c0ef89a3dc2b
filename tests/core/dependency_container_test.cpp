#include "core/dependency_container.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "support/test_current_date_provider.h"
#include "util/current_date_provider.h"
#include "util/dispatch_factory.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/random.h"
#include "util/timer_factory.h"

namespace skald {
namespace {

TEST(DependencyContainerTest, LazyServicesAreMadeOnceEvenUnderRace) {
    DependencyContainer::reset();
    auto container = DependencyContainer::sharedInstance();
    std::vector<std::shared_ptr<TimerFactory>> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] { seen[i] = container->timerFactory(); });
    }
    for (auto& t : threads) t.join();
    for (const auto& factory : seen) EXPECT_EQ(factory, seen[0]);
    EXPECT_EQ(container->dispatchFactory(), container->dispatchFactory());
}

TEST(DependencyContainerTest, SettersReplaceServicesAndResetStartsOver) {
    DependencyContainer::reset();
    auto container = DependencyContainer::sharedInstance();
    EXPECT_EQ(container, DependencyContainer::sharedInstance());
    EXPECT_EQ(container->dispatchQueueWrapper()->label(), "skald-default");

    auto clock = std::make_shared<test::TestCurrentDateProvider>();
    container->setDateProvider(clock);
    EXPECT_EQ(container->dateProvider(), clock);

    DependencyContainer::reset();
    auto fresh = DependencyContainer::sharedInstance();
    EXPECT_NE(fresh, container);
    EXPECT_NE(fresh->dateProvider(), clock) << "a reset container holds no test doubles";
    EXPECT_NE(fresh->dispatchQueueWrapper(), container->dispatchQueueWrapper());
}

TEST(DependencyContainerTest, DefaultServicesWork) {
    auto container = std::make_shared<DependencyContainer>();
    const double n = container->random()->nextNumber();
    EXPECT_GE(n, 0.0);
    EXPECT_LT(n, 1.0);
    auto provider = container->dateProvider();
    const auto first = provider->systemTime();
    EXPECT_GE(provider->systemTime(), first);
    EXPECT_GT(provider->systemUptime(), 0.0);
    const auto wall = std::chrono::system_clock::now() - provider->date();
    EXPECT_LT(std::chrono::abs(wall), std::chrono::seconds(5));
    auto queue = container->dispatchFactory()->queueWithName("skald-test-queue");
    EXPECT_EQ(queue->label(), "skald-test-queue");
}

}  // namespace
}  // namespace skald
