#include "platform/base/fast_random.h"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>

namespace skald::platform {

namespace {

std::atomic<uint64_t> gForkGeneration{0};

void afterForkInChild() {
    gForkGeneration.fetch_add(1, std::memory_order_relaxed);
}

uint64_t kernelSeed() {
    uint64_t seed = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&seed);
    size_t filled = 0;
    while (filled < sizeof seed) {
        const ssize_t n = ::getrandom(bytes + filled, sizeof seed - filled, 0);
        if (n > 0) {
            filled += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    if (filled == sizeof seed) return seed;
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device() ^
           static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

struct ThreadState {
    uint64_t state = 0;
    uint64_t generation = ~uint64_t{0};
};

}  // namespace

uint64_t fastRandom64() {
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, afterForkInChild);
        return true;
    }();
    (void)registered;
    thread_local ThreadState thread;
    const uint64_t generation = gForkGeneration.load(std::memory_order_relaxed);
    if (thread.generation != generation) {
        thread.state = kernelSeed();
        thread.generation = generation;
    }
    // splitmix64: every state gives a well-mixed output, and the sequence
    // of one seed does not repeat before 2^64 values.
    uint64_t z = (thread.state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace skald::platform
