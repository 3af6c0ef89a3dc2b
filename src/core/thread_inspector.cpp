#include "core/thread_inspector.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <utility>

#include "core/stack_entry_mapper.h"
#include "crash/async_safe/thread_suspension.h"
#include "crash/recording/binary_image_list.h"
#include "crash/recording/symbol_indexes.h"
#include "model/in_app_logic.h"
#include "platform/base/unique_fd.h"
#include "platform/process/thread_ids.h"
#include "skald/platform/main_queue.h"

namespace skald {

namespace {

/// The others keep the system's order.
void putMainThreadFirst(std::vector<std::shared_ptr<Thread>>& threads) {
    std::stable_partition(threads.begin(), threads.end(),
                          [](const auto& thread) { return thread->isMain == true; });
}

}  // namespace

ThreadInspector::ThreadInspector(const Options& options) {
    auto inAppLogic =
        std::make_shared<InAppLogic>(options.inAppIncludes(), options.inAppExcludes());
    auto mapper = std::make_shared<crash::StackEntryMapper>(std::move(inAppLogic));
    stacktraceBuilder_ = std::make_shared<StacktraceBuilder>(std::move(mapper));
    stacktraceBuilder_->symbolicate = options.debug;
}

ThreadInspector::ThreadInspector(std::shared_ptr<StacktraceBuilder> stacktraceBuilder)
    : stacktraceBuilder_(std::move(stacktraceBuilder)) {}

std::vector<std::shared_ptr<Thread>> ThreadInspector::getCurrentThreads() {
    return threads(StacktraceBuilder::kMaxEntries);
}

std::vector<std::shared_ptr<Thread>> ThreadInspector::getCurrentThreadsWithStackTrace() {
    std::vector<std::shared_ptr<Thread>> result;
    if (threadsFromSuspension(result)) return result;
    return threads(kMaxEntriesForAllThreads);
}

bool ThreadInspector::threadsFromSuspension(std::vector<std::shared_ptr<Thread>>& result) {
    if (!crash::prepareThreadSuspension()) return false;
    // Everything that may allocate or lock happens before the other threads
    // stop or after they go on: a stopped thread may hold the allocator's lock.
    crash::BinaryImageList::refresh();
    if (stacktraceBuilder_->symbolicate) crash::updateSymbolIndexes();
    auto snapshots = std::make_unique<crash::ThreadSnapshot[]>(crash::kMaxSuspendedThreads);
    const pid_t self = ::gettid();
    auto ownStack = stacktraceBuilder_->buildStacktraceForCurrentThread(kMaxEntriesForAllThreads);

    const int count = crash::suspendEnvironment(nullptr, 0);
    if (count <= 0) return false;
    for (int i = 0; i < count; ++i) snapshots[i] = *crash::suspendedThread(i);
    crash::resumeEnvironment();

    const pid_t mainId = platform::MainQueue::mainThreadId();
    for (int index = 0; index < count; ++index) {
        const crash::ThreadSnapshot& snapshot = snapshots[index];
        auto thread = std::make_shared<Thread>(index);
        thread->isMain = snapshot.thread == mainId;
        thread->crashed = false;
        thread->current = snapshot.thread == self;
        if (*thread->current) {
            thread->name = getThreadName(self);
            thread->stacktrace = ownStack;
        } else if (snapshot.captured) {
            thread->name = snapshot.name[0] != '\0' ? std::optional<std::string>(snapshot.name)
                                                    : getThreadName(snapshot.thread);
            thread->stacktrace = stacktraceBuilder_->buildStacktraceForAddresses(
                snapshot.frames, snapshot.frameCount, kMaxEntriesForAllThreads);
        } else {
            thread->name = getThreadName(snapshot.thread);
        }
        result.push_back(std::move(thread));
    }
    putMainThreadFirst(result);
    return true;
}

std::shared_ptr<Stacktrace> ThreadInspector::stacktraceForCurrentThreadAsyncUnsafe() {
    return stacktraceBuilder_->buildStacktraceForCurrentThread();
}

std::optional<std::string> ThreadInspector::getThreadName(pid_t threadId) {
    const std::string path = "/proc/self/task/" + std::to_string(threadId) + "/comm";
    const platform::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;  // the thread has ended
    char buffer[64];
    ssize_t length;
    do {
        length = ::read(fd.get(), buffer, sizeof(buffer));
    } while (length < 0 && errno == EINTR);
    if (length <= 0) return std::nullopt;
    std::string name(buffer, static_cast<size_t>(length));
    if (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

std::vector<std::shared_ptr<Thread>> ThreadInspector::threads(int maxEntries) {
    const pid_t mainId = platform::MainQueue::mainThreadId();
    const pid_t currentId = ::gettid();
    std::vector<std::shared_ptr<Thread>> result;
    const std::vector<pid_t> ids = platform::processThreadIds();
    for (size_t index = 0; index < ids.size(); ++index) {
        auto thread = std::make_shared<Thread>(index);
        thread->isMain = ids[index] == mainId;
        thread->name = getThreadName(ids[index]);
        thread->crashed = false;
        thread->current = ids[index] == currentId;
        if (*thread->current) {
            thread->stacktrace = stacktraceBuilder_->buildStacktraceForCurrentThread(maxEntries);
        }
        result.push_back(std::move(thread));
    }
    putMainThreadFirst(result);
    return result;
}

}  // namespace skald
