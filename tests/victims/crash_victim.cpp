// A program that installs crash reporting and then dies in the way its
// command line names, for the tests that read its report afterwards.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crash/async_safe/monitors.h"
#include "crash/async_safe/report_writer.h"
#include "crash/recording/binary_image_list.h"
#include "crash/recording/crash_core.h"
#include "crash/recording/crash_snapshot_setters.h"
#include "skald/platform/app_exception.h"

namespace {

std::atomic<int> gSink{0};

void usage() {
    std::fprintf(stderr,
                 "usage: skald-crash-victim <install-dir> <mode>\n"
                 "modes: null wild bus fpe ill abort cpp-int cpp-runtime app-exception\n"
                 "       overflow-thread busy-threads two-threads recrash sigterm sigterm-on\n"
                 "       sigpipe-ignored wait-after-report timed timed-blocked smashed-stack\n"
                 "       dlopen-crash-inside dlopen-then-crash dlclose-then-crash\n"
                 "       terminate-without-exception app-exception-uncaught\n");
}

void startBusyThreads(int count) {
    for (int i = 0; i < count; ++i) {
        std::thread([i] {
            for (;;) {
                if (i % 3 == 0) {
                    gSink.fetch_add(1);  // spinning
                } else if (i % 3 == 1) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                } else {
                    char byte;
                    (void)!::read(-1, &byte, 1);  // in and out of a system call
                    gSink.fetch_add(1);
                }
            }
        }).detach();
    }
}

/// Threads that wait as most threads of real programs do: on a condition
/// variable, in a read of a pipe, asleep.
void startBlockedThreads(int count) {
    static std::mutex mutex;
    static std::condition_variable condition;
    static int pipeEnds[2] = {-1, -1};
    if (pipeEnds[0] < 0 && ::pipe(pipeEnds) != 0) return;
    for (int i = 0; i < count; ++i) {
        std::thread([i] {
            for (;;) {
                if (i % 3 == 0) {
                    std::unique_lock<std::mutex> lock(mutex);
                    condition.wait(lock);
                } else if (i % 3 == 1) {
                    char byte;
                    gSink.fetch_add(static_cast<int>(::read(pipeEnds[0], &byte, 1)));
                } else {
                    std::this_thread::sleep_for(std::chrono::hours(1));
                }
            }
        }).detach();
    }
}

void crashSoonInSection(const char* section) {
    if (std::strcmp(section, "system") == 0) {
        volatile int* volatile nothing = nullptr;  // opaque: the store must stay
        *nothing = 1;
    }
}

void waitInSection(const char* section) {
    if (std::strcmp(section, "closed") != 0) return;
    // Tells the test to attach a debugger to this still-crashing process.
    std::fprintf(stdout, "report-written\n");
    std::fflush(stdout);
    for (int i = 0; i < 300; ++i) ::usleep(100000);
}

}  // namespace

// Exported and not inlined, so that the report and a debugger both name them.
extern "C" {

__attribute__((noinline)) void victimNullPointer() {
    volatile int* volatile nothing = nullptr;  // opaque: the store must stay
    *nothing = 42;
    gSink.fetch_add(1);
}

__attribute__((noinline)) void victimWildPointer() {
    // A page that exists but may not be touched: a fault at a known address.
    auto* page =
        static_cast<int*>(::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    volatile int* volatile wild = page + 10;
    std::printf("wild-address %llu\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(
                                           const_cast<int*>(static_cast<volatile int*>(wild)))));
    std::fflush(stdout);
    *wild = 42;
    gSink.fetch_add(1);
}

__attribute__((noinline)) void victimBusError(const char* directory) {
    // Touching a mapping beyond the end of its file raises SIGBUS.
    const std::string path = std::string(directory) + "/empty-file";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    auto* mapped = static_cast<volatile char*>(
        ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    mapped[0] = 1;
    gSink.fetch_add(1);
}

__attribute__((noinline)) int victimDivideByZero(int divisor) {
    volatile int dividend = 7;
    return dividend / divisor;
}

__attribute__((noinline)) void victimIllegalInstruction() {
    __builtin_trap();
}

__attribute__((noinline)) void victimAbort() {
    std::abort();
}

__attribute__((noinline)) void victimThrowInt() {
    throw 42;
}

__attribute__((noinline)) void victimThrowRuntimeError() {
    throw std::runtime_error("the disk is on fire");
}

__attribute__((noinline)) void victimRaiseAppException() {
    skald::platform::AppException::raise("VictimException", "the app layer gave up",
                                         {{"answer", 42}});
}

__attribute__((noinline)) int victimRecurse(int depth) {
    volatile char frame[256];
    frame[0] = static_cast<char>(depth);
    if (gSink.load() == -1) return depth;  // never: keeps the recursion unbounded at run time
    return victimRecurse(depth + 1) + frame[0];
}

__attribute__((noinline)) uintptr_t victimReturnAddress() {
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

__attribute__((noinline)) void victimSmashedStack() {
    // This frame's record overwritten as a buffer overrun would: the return
    // address leads back into this function, whose unwind rule then takes
    // the caller's frame from the saved frame pointer, which now points into
    // a page that cannot be read.
    auto* guard =
        static_cast<char*>(::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    const uintptr_t insideThisFunction = victimReturnAddress();
    auto* volatile record = static_cast<volatile uintptr_t*>(__builtin_frame_address(0));
    record[0] = reinterpret_cast<uintptr_t>(guard + 2048);
    record[1] = insideThisFunction;
    volatile int* volatile nothing = nullptr;
    *nothing = 42;
    gSink.fetch_add(1);
}

__attribute__((noinline)) void victimCrashOnThread() {
    victimNullPointer();
    gSink.fetch_add(1);  // not a tail call: this frame stays on the stack
}
}

int main(int argc, char** argv) {
    if (argc < 3) {
        usage();
        return 2;
    }
    const std::string directory = argv[1];
    const std::string mode = argv[2];

    if (mode == "sigterm-on") skald::crash::setSigtermMonitoringEnabled(true);
    if (mode == "sigpipe-ignored") ::signal(SIGPIPE, SIG_IGN);
    skald::crash::core::install("victim", directory);

    namespace scope = skald::crash::scope;
    scope::setField(scope::Field::User, R"({"id":"u-1","email":"victim@example.com"})");
    const std::string tags = R"({"mode":")" + mode + R"("})";
    scope::setField(scope::Field::Tags, tags.c_str());
    scope::setField(scope::Field::Extra, "{not json");
    scope::setBreadcrumbCapacity(3);
    for (int i = 1; i <= 5; ++i) {
        scope::addBreadcrumb(("{\"message\":\"crumb " + std::to_string(i) + "\"}").c_str());
    }

    if (mode == "null") victimNullPointer();
    if (mode == "wild") victimWildPointer();
    if (mode == "bus") victimBusError(directory.c_str());
    if (mode == "fpe") gSink.fetch_add(victimDivideByZero(0));
    if (mode == "ill") victimIllegalInstruction();
    if (mode == "abort") victimAbort();
    if (mode == "cpp-int") victimThrowInt();
    if (mode == "cpp-runtime") victimThrowRuntimeError();
    if (mode == "app-exception") {
        // What the application layer does with an exception escaping an event.
        try {
            victimRaiseAppException();
        } catch (const skald::platform::AppException& exception) {
            if (auto handler = skald::platform::uncaughtExceptionHandler()) handler(exception);
            std::abort();
        }
    }
    if (mode == "overflow-thread") {
        std::thread([] { gSink.fetch_add(victimRecurse(0)); }).join();
    }
    if (mode == "busy-threads") {
        startBusyThreads(10);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::thread(victimCrashOnThread).join();
    }
    if (mode == "two-threads") {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([&ready] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                victimNullPointer();
            });
        }
        for (auto& thread : threads) thread.join();
    }
    if (mode == "recrash") {
        skald::crash::writer::setSectionWrittenHook(crashSoonInSection);
        victimNullPointer();
    }
    if (mode == "wait-after-report") {
        skald::crash::writer::setSectionWrittenHook(waitInSection);
        victimNullPointer();
    }
    if (mode == "timed" || mode == "timed-blocked") {
        // Twenty threads in all: main, the SDK's cache thread and eighteen more.
        if (mode == "timed") {
            startBusyThreads(18);
        } else {
            startBlockedThreads(18);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        std::printf("fault-at %lld\n",
                    static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec);
        std::fflush(stdout);
        victimNullPointer();
    }
    if (mode == "smashed-stack") victimSmashedStack();
    if (mode == "dlopen-crash-inside" || mode == "dlopen-then-crash") {
        // Loaded after the SDK's last look at the loader, 10 ms before the crash.
        void* plugin = ::dlopen(SKALD_VICTIM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (plugin == nullptr) {
            std::printf("dlopen failed: %s\n", ::dlerror());
            return 3;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (mode == "dlopen-crash-inside") {
            reinterpret_cast<void (*)()>(::dlsym(plugin, "pluginCrash"))();
        }
        gSink.fetch_add(reinterpret_cast<int (*)()>(::dlsym(plugin, "pluginAnswer"))());
        victimNullPointer();
    }
    if (mode == "dlclose-then-crash") {
        void* plugin = ::dlopen(SKALD_VICTIM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (plugin == nullptr) return 3;
        // The SDK's list now holds the library, as after any refresh.
        skald::crash::BinaryImageList::refresh();
        auto* stale = reinterpret_cast<void (*)()>(::dlsym(plugin, "pluginCrash"));
        ::dlclose(plugin);
        unsigned char page = 0;
        const auto pageStart = reinterpret_cast<uintptr_t>(stale) & ~uintptr_t{4095};
        const bool unmapped =
            ::mincore(reinterpret_cast<void*>(pageStart), 4096, &page) != 0 && errno == ENOMEM;
        std::printf("stale-function %llu %s\n",
                    static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(stale)),
                    unmapped ? "unmapped" : "mapped");
        std::fflush(stdout);
        // Calls into the unloaded library: the crash lies inside its old range.
        stale();
    }
    if (mode == "terminate-without-exception") std::terminate();
    // Nobody catches it: it reaches the C++ runtime's terminate.
    if (mode == "app-exception-uncaught") victimRaiseAppException();
    if (mode == "sigterm" || mode == "sigterm-on") ::raise(SIGTERM);
    if (mode == "sigpipe-ignored") {
        ::raise(SIGPIPE);
        std::puts("survived");
        return 0;
    }
    usage();
    return 2;
}
