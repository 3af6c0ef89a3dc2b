#pragma once

#include <memory>
#include <mutex>

namespace skald {

class CurrentDateProvider;
class Random;

/// The process-wide registry of shared services. Services are created on
/// first request under one lock and then reused; every one can be replaced
/// through its setter (test doubles). `reset` swaps in a new, empty container.
class DependencyContainer {
public:
    static std::shared_ptr<DependencyContainer> sharedInstance();
    static void reset();

    DependencyContainer();
    ~DependencyContainer();
    DependencyContainer(const DependencyContainer&) = delete;
    DependencyContainer& operator=(const DependencyContainer&) = delete;

    std::shared_ptr<CurrentDateProvider> dateProvider();
    void setDateProvider(std::shared_ptr<CurrentDateProvider> provider);

    std::shared_ptr<Random> random();
    void setRandom(std::shared_ptr<Random> random);

private:
    // Recursive: creating one service may ask the container for another.
    std::recursive_mutex lock_;
    std::shared_ptr<CurrentDateProvider> dateProvider_;
    std::shared_ptr<Random> random_;
};

}  // namespace skald
