#include "util/thread_wrapper.h"

#include <chrono>
#include <thread>

namespace skald {

void ThreadWrapper::sleepForTimeInterval(double seconds) {
    if (!(seconds > 0)) return;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace skald
