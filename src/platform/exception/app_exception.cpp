#include "skald/platform/app_exception.h"

#include <execinfo.h>

#include <atomic>

namespace skald::platform {

namespace {

constexpr int kMaxFrames = 128;

std::atomic<UncaughtExceptionHandler> gHandler{nullptr};

// Not inlined so that exactly one frame (this one) is dropped from the walk.
__attribute__((noinline)) std::vector<uintptr_t> captureCallerStack() {
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    std::vector<uintptr_t> addresses;
    // Frame 0 is this function, frame 1 the constructor.
    for (int i = 2; i < count; ++i) addresses.push_back(reinterpret_cast<uintptr_t>(frames[i]));
    return addresses;
}

}  // namespace

AppException::AppException(std::string name, std::string reason, Json userInfo)
    : name_(std::move(name)),
      reason_(std::move(reason)),
      userInfo_(std::move(userInfo)),
      addresses_(captureCallerStack()),
      what_(name_ + ": " + reason_) {}

void AppException::raise(std::string name, std::string reason, Json userInfo) {
    throw AppException(std::move(name), std::move(reason), std::move(userInfo));
}

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) {
    gHandler.store(handler);
}

UncaughtExceptionHandler uncaughtExceptionHandler() {
    return gHandler.load();
}

}  // namespace skald::platform
