#include "core/dependency_container.h"

#include "core/current_date_provider.h"
#include "core/random.h"

#include <utility>

namespace skald {

namespace {

std::mutex& instanceMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<DependencyContainer>& instance() {
    static std::shared_ptr<DependencyContainer> shared;
    return shared;
}

}  // namespace

std::shared_ptr<DependencyContainer> DependencyContainer::sharedInstance() {
    std::lock_guard guard(instanceMutex());
    if (!instance()) instance() = std::make_shared<DependencyContainer>();
    return instance();
}

void DependencyContainer::reset() {
    std::shared_ptr<DependencyContainer> old;
    {
        std::lock_guard guard(instanceMutex());
        old = std::exchange(instance(), std::make_shared<DependencyContainer>());
    }
    // `old` is released outside the lock: its services may take time to stop.
}

DependencyContainer::DependencyContainer()
    : dateProvider_(std::make_shared<DefaultCurrentDateProvider>()),
      random_(std::make_shared<Random>()) {}

DependencyContainer::~DependencyContainer() = default;

std::shared_ptr<CurrentDateProvider> DependencyContainer::dateProvider() {
    std::lock_guard guard(lock_);
    return dateProvider_;
}

void DependencyContainer::setDateProvider(std::shared_ptr<CurrentDateProvider> provider) {
    std::lock_guard guard(lock_);
    dateProvider_ = std::move(provider);
}

std::shared_ptr<Random> DependencyContainer::random() {
    std::lock_guard guard(lock_);
    return random_;
}

void DependencyContainer::setRandom(std::shared_ptr<Random> random) {
    std::lock_guard guard(lock_);
    random_ = std::move(random);
}

}  // namespace skald
