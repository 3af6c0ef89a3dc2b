// Signal stacks for every thread. The broadcast handler and
// ensureForCurrentThread use only system calls, so they are async-signal-safe;
// the thread-start hook runs in ordinary context.
#include "crash/recording/alternate_stacks.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "crash/async_safe/crash_log.h"

namespace skald::crash::altstack {

namespace {

constexpr size_t kMinimumSize = 128 * 1024;

std::atomic<bool> gHookNewThreads{false};
std::atomic<int> gPendingAnswers{0};

size_t pageSize() {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : 4096;
}

/// The signal used to ask a running thread to install its own stack.
int installSignal() {
    return SIGRTMIN + 6;
}

/// A guard page below the stack turns an overflow of the handler itself into
/// a fault instead of silent corruption.
void* mapStack(size_t size) {
    const size_t guard = pageSize();
    void* base = ::mmap(nullptr, size + guard, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    ::mprotect(base, guard, PROT_NONE);
    return static_cast<char*>(base) + guard;
}

void unmapStack(void* stack, size_t size) {
    const size_t guard = pageSize();
    ::munmap(static_cast<char*>(stack) - guard, size + guard);
}

void answerInstallRequest(int, siginfo_t*, void*) {
    const int savedErrno = errno;
    ensureForCurrentThread();
    gPendingAnswers.fetch_sub(1);
    errno = savedErrno;
}

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

/// Removes a thread's own stack as it ends, so that exiting threads do not
/// leak them.
void releaseOwnStack(void* stack) {
    stack_t disable{};
    disable.ss_flags = SS_DISABLE;
    ::sigaltstack(&disable, nullptr);
    unmapStack(stack, stackSize());
}

void* startThread(void* startInfo) {
    const ThreadStart start = *static_cast<ThreadStart*>(startInfo);
    delete static_cast<ThreadStart*>(startInfo);
    void* stack = nullptr;
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
        stack = mapStack(stackSize());
        if (stack != nullptr) {
            stack_t mine{};
            mine.ss_sp = stack;
            mine.ss_size = stackSize();
            if (::sigaltstack(&mine, nullptr) != 0) {
                unmapStack(stack, stackSize());
                stack = nullptr;
            }
        }
    }
    void* result = nullptr;
    // The cleanup also runs for pthread_exit and cancellation.
    pthread_cleanup_push(
        [](void* own) {
            if (own != nullptr) releaseOwnStack(own);
        },
        stack);
    result = start.routine(start.argument);
    pthread_cleanup_pop(1);
    return result;
}

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

PthreadCreate realPthreadCreate() {
    static const auto real = reinterpret_cast<PthreadCreate>(::dlsym(RTLD_NEXT, "pthread_create"));
    return real;
}

}  // namespace

size_t stackSize() {
    static const size_t size = [] {
        const long minimum = ::sysconf(_SC_SIGSTKSZ);
        size_t wanted = minimum > 0 ? static_cast<size_t>(minimum) : 0;
        if (wanted < kMinimumSize) wanted = kMinimumSize;
        const size_t page = pageSize();
        return (wanted + page - 1) / page * page;
    }();
    return size;
}

bool ensureForCurrentThread() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0) return false;
    if ((current.ss_flags & SS_DISABLE) == 0 && current.ss_size >= stackSize()) return true;
    // Running on the current signal stack: it cannot be replaced now.
    if ((current.ss_flags & SS_ONSTACK) != 0) return false;
    void* stack = mapStack(stackSize());
    if (stack == nullptr) {
        logError("Failed to allocate signal stack area");
        return false;
    }
    stack_t mine{};
    mine.ss_sp = stack;
    mine.ss_size = stackSize();
    if (::sigaltstack(&mine, nullptr) != 0) {
        logError("signalstack: ", errorText(errno));
        unmapStack(stack, stackSize());
        return false;
    }
    return true;
}

bool installOnAllThreads() {
    (void)stackSize();  // sysconf is not safe inside the handlers
    if (!ensureForCurrentThread()) return false;
    setEnabledForNewThreads(true);

    struct sigaction action {};
    action.sa_sigaction = answerInstallRequest;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    if (::sigaction(installSignal(), &action, &previous) != 0) return true;

    const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            const pid_t thread = static_cast<pid_t>(::atoi(entry->d_name));
            if (thread <= 0 || thread == self) continue;
            gPendingAnswers.fetch_add(1);
            if (::syscall(SYS_tgkill, ::getpid(), thread, installSignal()) != 0) {
                gPendingAnswers.fetch_sub(1);
            }
        }
        ::closedir(tasks);
    }
    // Threads that block the signal never answer: wait a little, not forever.
    for (int waited = 0; gPendingAnswers.load() > 0 && waited < 200; ++waited) {
        ::usleep(1000);
    }
    gPendingAnswers = 0;
    return true;
}

void setEnabledForNewThreads(bool enabled) {
    gHookNewThreads = enabled;
}

}  // namespace skald::crash::altstack

using skald::crash::altstack::ThreadStart;

// Threads started by any code of the process go through here, so that each
// gets its signal stack before it runs.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) {
    const auto real = skald::crash::altstack::realPthreadCreate();
    if (real == nullptr) return EAGAIN;
    if (!skald::crash::altstack::gHookNewThreads.load()) {
        return real(thread, attributes, routine, argument);
    }
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    if (start == nullptr) return real(thread, attributes, routine, argument);
    const int result = real(thread, attributes, skald::crash::altstack::startThread, start);
    if (result != 0) delete start;
    return result;
}
