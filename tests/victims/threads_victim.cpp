// A program with a dozen named threads, each a few of its own functions deep
// and blocked its own way, that then crashes the way its command line names.
// Stopping a thread for the report interrupts its system call, so every
// blocking call is repeated: the threads are still there for the core file.
// The tests compare its crash report with gdb's view of its core file.
//   skald-threads-victim <install-dir> <main-segv|worker-segv|abort|cpp-exception|stack-overflow>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "crash/recording/crash_core.h"

// Every function of the program's own is named zoo... so that the tests can
// tell them from the C library's and the SDK's.
#define ZOO_FRAME __attribute__((noinline))
// Keeps a call from becoming a tail call, so that its caller's frame stays.
#define ZOO_KEEP_FRAME() asm volatile("" ::: "memory")

std::atomic<int> zooReady{0};
std::atomic<long> zooSink{0};
std::mutex zooHeldMutex;
std::mutex zooConditionMutex;
std::condition_variable zooCondition;
sem_t zooSemaphore;
int zooPipe[2];

namespace {

ZOO_FRAME void zooWaitOnCondition() {
    std::unique_lock<std::mutex> lock(zooConditionMutex);
    zooReady.fetch_add(1);
    zooCondition.wait(lock, [] { return false; });
}

ZOO_FRAME void zooLockHeldMutex() {
    zooReady.fetch_add(1);
    zooHeldMutex.lock();
    ZOO_KEEP_FRAME();
}

ZOO_FRAME void zooReadPipe() {
    char byte = 0;
    zooReady.fetch_add(1);
    for (;;) zooSink += ::read(zooPipe[0], &byte, 1);
    ZOO_KEEP_FRAME();
}

ZOO_FRAME void zooSpin() {
    zooReady.fetch_add(1);
    for (;;) zooSink.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

static ZOO_FRAME void zooWaitOnSemaphore() {
    zooReady.fetch_add(1);
    while (::sem_wait(&zooSemaphore) != 0) {
    }
    ZOO_KEEP_FRAME();
}

static ZOO_FRAME void zooPoll() {
    pollfd entry{zooPipe[0], POLLIN, 0};
    zooReady.fetch_add(1);
    for (;;) zooSink += ::poll(&entry, 1, -1);
    ZOO_KEEP_FRAME();
}

static ZOO_FRAME void zooSelect() {
    zooReady.fetch_add(1);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(zooPipe[0], &readable);
        zooSink += ::select(zooPipe[0] + 1, &readable, nullptr, nullptr, nullptr);
    }
    ZOO_KEEP_FRAME();
}

static ZOO_FRAME void zooSleep() {
    const timespec hour{3600, 0};
    zooReady.fetch_add(1);
    while (zooSink.load() != -1) ::nanosleep(&hour, nullptr);
    ZOO_KEEP_FRAME();
}

ZOO_FRAME void zooJoinForever() {
    std::thread waited([] {
        ::pthread_setname_np(::pthread_self(), "zoo-joined");
        zooSleep();
    });
    zooReady.fetch_add(1);
    waited.join();
    ZOO_KEEP_FRAME();
}

ZOO_FRAME long zooRecurse(int depth) {
    if (depth == 0) {
        zooSleep();
        return 0;
    }
    const long below = zooRecurse(depth - 1);
    ZOO_KEEP_FRAME();
    return below + depth;
}

ZOO_FRAME void zooDeepRecursion() {
    zooSink += zooRecurse(40);
    ZOO_KEEP_FRAME();
}

// Two or three more levels of the program's own above each way of blocking.
ZOO_FRAME void zooMiddle(void (*block)()) {
    block();
    ZOO_KEEP_FRAME();
}

ZOO_FRAME void zooOuter(void (*block)()) {
    zooMiddle(block);
    ZOO_KEEP_FRAME();
}

ZOO_FRAME void zooStart(const char* name, void (*block)()) {
    std::thread([name, block] {
        ::pthread_setname_np(::pthread_self(), name);
        zooOuter(block);
    }).detach();
}

// --- The crashes ---------------------------------------------------------------

ZOO_FRAME void zooWriteNull() {
    volatile int* volatile nothing = nullptr;
    *nothing = 42;
    ZOO_KEEP_FRAME();
}

ZOO_FRAME void zooCrashInside() {
    zooWriteNull();
    ZOO_KEEP_FRAME();
}

ZOO_FRAME void zooAbort() {
    std::abort();
}

ZOO_FRAME void zooThrow() {
    throw std::runtime_error("nobody catches this");
}

ZOO_FRAME void zooThrowFromBelow() {
    zooThrow();
    ZOO_KEEP_FRAME();
}

ZOO_FRAME long zooOverflow(long depth) {
    volatile char frame[200];
    frame[0] = static_cast<char>(depth);
    if (zooSink.load() == -1) return depth;  // never: the recursion is unbounded at run time
    return zooOverflow(depth + 1) + frame[0];
}

ZOO_FRAME void zooCrash(const std::string& mode) {
    if (mode == "main-segv" || mode == "worker-segv") zooCrashInside();
    if (mode == "abort") zooAbort();
    if (mode == "cpp-exception") zooThrowFromBelow();
    if (mode == "stack-overflow") zooSink += zooOverflow(0);
    ZOO_KEEP_FRAME();
}

void zooCrashOnWorker(const std::string& mode) {
    // A small stack, so that an overflow has some thousand frames rather
    // than a hundred thousand.
    pthread_attr_t attributes;
    ::pthread_attr_init(&attributes);
    ::pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    auto* argument = new std::string(mode);
    ::pthread_create(
        &thread, &attributes,
        [](void* data) -> void* {
            ::pthread_setname_np(::pthread_self(), "zoo-crasher");
            zooCrash(*static_cast<std::string*>(data));
            return nullptr;
        },
        argument);
    ::pthread_join(thread, nullptr);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: skald-threads-victim <install-dir> <mode>\n");
        return 2;
    }
    const std::string mode = argv[2];
    skald::crash::core::install("threads-victim", argv[1]);

    ::sem_init(&zooSemaphore, 0, 0);
    if (::pipe(zooPipe) != 0) return 3;
    zooHeldMutex.lock();

    int expected = 0;
    zooStart("zoo-condition", zooWaitOnCondition), ++expected;
    zooStart("zoo-mutex", zooLockHeldMutex), ++expected;
    zooStart("zoo-semaphore", zooWaitOnSemaphore), ++expected;
    zooStart("zoo-read", zooReadPipe), ++expected;
    zooStart("zoo-poll", zooPoll), ++expected;
    zooStart("zoo-select", zooSelect), ++expected;
    zooStart("zoo-sleep", zooSleep), ++expected;
    zooStart("zoo-join", zooJoinForever), ++expected;
    zooStart("zoo-busy", zooSpin), ++expected;
    zooStart("zoo-recursion", zooDeepRecursion), ++expected;
    while (zooReady.load() < expected) std::this_thread::yield();
    // Into their blocking calls.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Named a moment before the crash, after any cache refresh.
    ::pthread_setname_np(::pthread_self(), "zoo-main");
    std::printf("threads ready\n");
    std::fflush(stdout);

    if (mode == "stack-overflow" || mode == "worker-segv") {
        zooCrashOnWorker(mode);
    } else {
        zooCrash(mode);
    }
    return 4;
}
