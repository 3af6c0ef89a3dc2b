#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/stacktrace_builder.h"
#include "skald/options.h"
#include "skald/thread.h"

namespace skald {

/// The process's threads for live events.
class ThreadInspector {
  public:
    /// Stacks taken for `getCurrentThreadsWithStackTrace` stop at this many entries.
    static constexpr int kMaxEntriesForAllThreads = 100;

    /// In-app rules from the options' includes and excludes; symbolication
    /// when `debug` is on.
    explicit ThreadInspector(const Options& options);
    explicit ThreadInspector(std::shared_ptr<StacktraceBuilder> stacktraceBuilder);

    /// Every thread of the process in the system's order, the main thread
    /// moved to the front. `threadId` is the position in the system's order;
    /// only the calling thread (`current`) carries a stack trace.
    std::vector<std::shared_ptr<Thread>> getCurrentThreads();

    /// Like `getCurrentThreads`, with every thread's stack (at most 100
    /// entries each). The other threads are stopped for as long as each
    /// takes to walk its own stack, with the crash reporter's machinery; a
    /// thread that does not answer in time has no stack. While the machinery
    /// is busy (a crash), only the calling thread's stack is taken.
    std::vector<std::shared_ptr<Thread>> getCurrentThreadsWithStackTrace();

    /// The calling thread's stack trace alone.
    std::shared_ptr<Stacktrace> stacktraceForCurrentThreadAsyncUnsafe();

    /// The kernel's name of a thread of this process.
    static std::optional<std::string> getThreadName(pid_t threadId);

    const std::shared_ptr<StacktraceBuilder>& stacktraceBuilder() const {
        return stacktraceBuilder_;
    }

  private:
    std::vector<std::shared_ptr<Thread>> threads(int maxEntries);
    /// False when no thread could be stopped.
    bool threadsFromSuspension(std::vector<std::shared_ptr<Thread>>& result);

    std::shared_ptr<StacktraceBuilder> stacktraceBuilder_;
};

}  // namespace skald
