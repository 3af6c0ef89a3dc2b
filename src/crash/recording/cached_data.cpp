#include "crash/recording/cached_data.h"

#include "crash/recording/binary_image_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/process/no_destructor.h"
#include "platform/process/process_exit.h"
#include "util/log.h"

namespace skald::crash {

namespace {

struct Snapshot {
    int count = 0;
    pid_t tids[CachedData::kMaxThreads];
    // Linux thread names hold at most 15 characters.
    char names[CachedData::kMaxThreads][16];
};

// Two buffers: the refresh writes the one readers are not pointed at.
Snapshot gSnapshots[2];
std::atomic<int> gCurrent{-1};
std::atomic<int> gFrozen{0};

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
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t n = ::read(fd, out, 15);
    ::close(fd);
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
    waitSeconds(0.000001);
    for (int round = 0; !stopping(); ++round) {
        platform::ProcessExit::runOrPark([] {
            CachedData::refresh();
            // Images loaded since the last round reach the crash-time table too.
            BinaryImageList::refresh();
        });
        waitSeconds(round < 4 ? 1.0 : pollInterval);
    }
}

}  // namespace

bool CachedData::refresh() {
    if (gFrozen.load() > 0) return false;
    const int target = gCurrent.load() == 0 ? 1 : 0;
    Snapshot& next = gSnapshots[target];
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
    if (gFrozen.load() > 0) return false;  // a reader came in meanwhile: keep its snapshot
    gCurrent.store(target);
    return true;
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
    if (gFrozen.fetch_add(1) <= 0) {
        // Lets a refresh that is under way finish.
        struct timespec pause {
            0, 1000
        };
        ::nanosleep(&pause, nullptr);
    }
}

void CachedData::unfreeze() {
    if (gFrozen.fetch_sub(1) - 1 < 0) gFrozen.fetch_add(1);
}

int CachedData::threadCount() {
    const int current = gCurrent.load();
    return current < 0 ? 0 : gSnapshots[current].count;
}

int CachedData::threadIds(pid_t* ids, int capacity) {
    const int current = gCurrent.load();
    if (current < 0) return 0;
    const Snapshot& snapshot = gSnapshots[current];
    const int n = snapshot.count < capacity ? snapshot.count : capacity;
    for (int i = 0; i < n; ++i) ids[i] = snapshot.tids[i];
    return n;
}

const char* CachedData::threadName(pid_t tid) {
    const int current = gCurrent.load();
    if (current < 0) return nullptr;
    const Snapshot& snapshot = gSnapshots[current];
    for (int i = 0; i < snapshot.count; ++i) {
        if (snapshot.tids[i] == tid) return snapshot.names[i][0] ? snapshot.names[i] : nullptr;
    }
    return nullptr;
}

const char* CachedData::queueName(pid_t) {
    return nullptr;
}

void CachedData::setSleeper(Sleeper sleeper) {
    *gSleeper = std::move(sleeper);
}

}  // namespace skald::crash
