// A small library that the crash victim loads at run time, to check that
// images loaded shortly before a crash are in its report.
#include <atomic>

namespace {
std::atomic<int> gCalls{0};
}

extern "C" {

__attribute__((noinline, visibility("default"))) int pluginAnswer() {
    return 42 + gCalls.fetch_add(1);
}

__attribute__((noinline, visibility("default"))) void pluginCrash() {
    volatile int* volatile nothing = nullptr;  // opaque: the store must stay
    *nothing = gCalls.load();
    gCalls.fetch_add(1);
}
}
