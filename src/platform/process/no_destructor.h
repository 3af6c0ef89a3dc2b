#pragma once

#include <new>
#include <utility>

namespace skald::platform {

/// A process-lifetime object: built where it is declared (or on first use for
/// a function-local one) and never destroyed. The SDK's threads keep running
/// while `exit` runs the exit handlers, so nothing they touch may be torn down
/// by those handlers.
template <typename T>
class NoDestructor {
  public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
    const T& get() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }
    T& operator*() { return get(); }
    const T& operator*() const { return get(); }
    T* operator->() { return &get(); }
    const T* operator->() const { return &get(); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace skald::platform
