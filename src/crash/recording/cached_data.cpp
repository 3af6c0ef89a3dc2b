#include "crash/recording/cached_data.h"

#include "crash/recording/binary_image_list.h"
#include "crash/recording/symbol_indexes.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "crash/async_safe/thread_names.h"
#include "platform/base/unique_fd.h"
#include "platform/process/no_destructor.h"
#include "platform/process/process_exit.h"
#include "util/log.h"

namespace skald::crash {

namespace {

constexpr int kBackgroundNice = 10;

// None of these is ever destroyed: the refresh thread keeps running while
// exit handlers run, and a condition variable destroyed under a waiting thread
// blocks the exit.
platform::NoDestructor<std::mutex> gThreadMutex;
platform::NoDestructor<std::condition_variable> gWake;
bool gStopping = false;
bool gStarted = false;
platform::NoDestructor<std::thread> gThread;
platform::NoDestructor<CachedData::Sleeper> gSleeper;

void readName(pid_t tid, char* out) {
    out[0] = '\0';
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/comm", tid);
    const platform::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return;
    const ssize_t n = ::read(fd.get(), out, 15);
    if (n <= 0) return;
    out[n] = '\0';
    if (out[n - 1] == '\n') out[n - 1] = '\0';
}

// Interruptible by stop().
void waitSeconds(double seconds) {
    if (*gSleeper) {
        (*gSleeper)(seconds);
        return;
    }
    std::unique_lock lock(*gThreadMutex);
    gWake->wait_for(lock, std::chrono::duration<double>(seconds), [] { return gStopping; });
}

bool stopping() {
    std::lock_guard guard(*gThreadMutex);
    return gStopping;
}

void monitor(double pollInterval) {
    // Indexing symbol tables is background work: the host's threads, its
    // main thread starting up first of all, come before it.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kBackgroundNice);
    waitSeconds(0.000001);
    for (int round = 0; !stopping(); ++round) {
        platform::ProcessExit::runOrPark([] {
            CachedData::refresh();
            // Images loaded since the last round reach the crash-time table too,
            // with their full symbol tables.
            BinaryImageList::start();
            BinaryImageList::refresh();
            updateSymbolIndexes();
        });
        waitSeconds(round < 4 ? 1.0 : pollInterval);
    }
}

}  // namespace

bool CachedData::refresh() {
    if (threadnames::isFrozen()) return false;
    threadnames::Snapshot& next = threadnames::beginWrite();
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) {
        // The previous snapshot stays in place.
        SKALD_LOG_ERROR("task_threads: %s", std::strerror(errno));
        return false;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        if (count >= kMaxThreads) break;
        next.tids[count] = static_cast<pid_t>(std::atoi(entry->d_name));
        readName(next.tids[count], next.names[count]);
        ++count;
    }
    ::closedir(dir);
    next.count = count;
    return threadnames::publishWrite();
}

void CachedData::start(double pollIntervalSeconds) {
    std::lock_guard guard(*gThreadMutex);
    if (gStarted) return;
    gStarted = true;
    gStopping = false;
    *gThread = std::thread([pollIntervalSeconds] {
        // "SkaldCrash Cached Data Monitor", cut to the 15 characters Linux allows.
        ::pthread_setname_np(::pthread_self(), "SkaldCrash Cach");
        monitor(pollIntervalSeconds);
    });
}

void CachedData::stop() {
    {
        std::lock_guard guard(*gThreadMutex);
        if (!gStarted) return;
        gStopping = true;
    }
    gWake->notify_all();
    if (gThread->joinable()) {
        // Once the process exits the thread may be parked for good.
        if (platform::ProcessExit::isClosed()) {
            gThread->detach();
        } else {
            gThread->join();
        }
    }
    std::lock_guard guard(*gThreadMutex);
    gStarted = false;
}

void CachedData::freeze() {
    threadnames::freeze();
}

void CachedData::unfreeze() {
    threadnames::unfreeze();
}

int CachedData::threadCount() {
    return threadnames::threadCount();
}

int CachedData::threadIds(pid_t* ids, int capacity) {
    return threadnames::threadIds(ids, capacity);
}

const char* CachedData::threadName(pid_t tid) {
    return threadnames::threadName(tid);
}

const char* CachedData::queueName(pid_t tid) {
    return threadnames::queueName(tid);
}

void CachedData::setSleeper(Sleeper sleeper) {
    *gSleeper = std::move(sleeper);
}

}  // namespace skald::crash
