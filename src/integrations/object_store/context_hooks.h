#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "skald/error.h"
#include "skald/object_store/object_context.h"

namespace skald::store::detail {

using FetchResult = std::optional<std::vector<std::shared_ptr<ManagedObject>>>;

/// Wraps every context's fetch and save while it is set, for tracing. It
/// must call `proceed` exactly once and return what that returned.
class ContextInterceptor {
  public:
    virtual ~ContextInterceptor() = default;
    virtual FetchResult fetch(ObjectContext& context, const FetchRequest& request, Error* error,
                              const std::function<FetchResult(Error*)>& proceed) = 0;
    virtual bool save(ObjectContext& context, Error* error,
                      const std::function<bool(Error*)>& proceed) = 0;
};

/// Replaces the interceptor of the process.
void setContextInterceptor(std::shared_ptr<ContextInterceptor> interceptor);
/// Removes `interceptor` if it is still the one set.
void removeContextInterceptor(const std::shared_ptr<ContextInterceptor>& interceptor);
/// Null when none is set: fetch and save then run directly.
std::shared_ptr<ContextInterceptor> contextInterceptor();

}  // namespace skald::store::detail
