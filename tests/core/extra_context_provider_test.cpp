#include "core/extra_context_provider.h"

#include <gtest/gtest.h>

#include "core/crash_wrapper.h"
#include "core/dependency_container.h"

namespace skald {
namespace {

/// Reports fixed memory sizes, counting how often they were asked for.
class FixedMemoryWrapper : public CrashWrapper {
  public:
    uint64_t freeMemorySize() override {
        ++reads;
        return free;
    }
    uint64_t appMemorySize() override {
        ++reads;
        return app;
    }
    uint64_t free = 1000;
    uint64_t app = 200;
    int reads = 0;
};

TEST(ExtraContextProviderTest, LiveValuesInDeviceAndApp) {
    auto wrapper = std::make_shared<FixedMemoryWrapper>();
    uint64_t processors = 6;
    ExtraContextProvider provider(wrapper, [&] { return processors; });

    const Json first = provider.getExtraContext();
    EXPECT_EQ(first, (Json{{"device", {{"free_memory", 1000}, {"processor_count", 6}}},
                           {"app", {{"app_memory", 200}}}}));

    wrapper->free = 10;
    wrapper->app = 20;
    processors = 2;
    const Json second = provider.getExtraContext();
    EXPECT_EQ(second["device"]["free_memory"], 10) << "read at each call, not cached";
    EXPECT_EQ(second["device"]["processor_count"], 2);
    EXPECT_EQ(second["app"]["app_memory"], 20);
    EXPECT_EQ(wrapper->reads, 4);
}

TEST(ExtraContextProviderTest, DefaultProcessorCountIsTheOnlineCount) {
    ExtraContextProvider provider(std::make_shared<FixedMemoryWrapper>());
    const auto count = provider.getExtraContext()["device"]["processor_count"].get<uint64_t>();
    EXPECT_GE(count, 1u);
    EXPECT_EQ(count, ExtraContextProvider::onlineProcessorCount());
}

TEST(ExtraContextProviderTest, ContainerMakesBothLazilyAndSharesTheWrapper) {
    DependencyContainer::reset();
    auto container = DependencyContainer::sharedInstance();
    auto wrapper = container->crashWrapper();
    ASSERT_TRUE(wrapper);
    EXPECT_EQ(container->crashWrapper(), wrapper);
    auto provider = container->extraContextProvider();
    ASSERT_TRUE(provider);
    EXPECT_EQ(container->extraContextProvider(), provider);

    // A replaced wrapper is what a provider made afterwards reads.
    auto fixed = std::make_shared<FixedMemoryWrapper>();
    container->setCrashWrapper(fixed);
    container->setExtraContextProvider(nullptr);
    EXPECT_EQ(container->extraContextProvider()->getExtraContext()["app"]["app_memory"], 200);
    EXPECT_GT(fixed->reads, 0);
    DependencyContainer::reset();
}

}  // namespace
}  // namespace skald
