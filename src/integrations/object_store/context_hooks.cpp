#include "integrations/object_store/context_hooks.h"

#include <mutex>

namespace skald::store::detail {

namespace {

std::mutex& interceptorMutex() {
    static std::mutex mutex;
    return mutex;
}

/// Never destroyed: contexts may still fetch while the process exits.
std::shared_ptr<ContextInterceptor>& currentInterceptor() {
    static auto* interceptor = new std::shared_ptr<ContextInterceptor>();
    return *interceptor;
}

}  // namespace

void setContextInterceptor(std::shared_ptr<ContextInterceptor> interceptor) {
    std::lock_guard guard(interceptorMutex());
    currentInterceptor() = std::move(interceptor);
}

void removeContextInterceptor(const std::shared_ptr<ContextInterceptor>& interceptor) {
    std::lock_guard guard(interceptorMutex());
    if (currentInterceptor() == interceptor) currentInterceptor().reset();
}

std::shared_ptr<ContextInterceptor> contextInterceptor() {
    std::lock_guard guard(interceptorMutex());
    return currentInterceptor();
}

}  // namespace skald::store::detail
