#include "skald/platform/app_exception.h"

#include <execinfo.h>

#include <atomic>

namespace skald::platform {

namespace {

constexpr int kMaxFrames = 128;

std::atomic<UncaughtExceptionHandler> gHandler{nullptr};

// The walk starts inside this file; how many frames that is depends on the
// compiler's inlining, so the caller's frame is found by the address the
// constructor returns to.
__attribute__((noinline)) std::vector<uintptr_t> captureCallerStack(uintptr_t callerReturn) {
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    int first = count;
    for (int i = 0; i < count; ++i) {
        if (reinterpret_cast<uintptr_t>(frames[i]) == callerReturn) {
            first = i;
            break;
        }
    }
    // Not found (a walk that missed a frame): drop this function and the constructor.
    if (first == count) first = count < 2 ? count : 2;
    std::vector<uintptr_t> addresses;
    for (int i = first; i < count; ++i) addresses.push_back(reinterpret_cast<uintptr_t>(frames[i]));
    return addresses;
}

}  // namespace

AppException::AppException(std::string name, std::string reason, Json userInfo)
    : name_(std::move(name)),
      reason_(std::move(reason)),
      userInfo_(std::move(userInfo)),
      addresses_(captureCallerStack(reinterpret_cast<uintptr_t>(__builtin_return_address(0)))),
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
