#pragma once

#include <chrono>

namespace skald::platform {

/// Keeps the SDK's threads away from libraries once the process exits.
///
/// `exit` runs the exit handlers on the calling thread while every other
/// thread keeps running, and later handlers tear down what those threads use
/// (OpenSSL, static objects of libraries). The handler that `install`
/// registers runs before them: it lets work that must not be lost finish
/// (envelopes on their way to disk, bounded in time), then closes the gate.
/// From then on a thread that comes to the start of its next unit of work
/// parks for good. Exit never waits for the network.
class ProcessExit {
  public:
    /// Registers the exit handler, once per process. Exit handlers run in the
    /// reverse order of registration, so call this after the libraries whose
    /// cleanup must come later have been initialised.
    static void install();
    static bool isInstalled();

    /// True from the moment the exit sequence starts.
    static bool isExiting();
    /// True once the gate is closed.
    static bool isClosed();

    /// One unit of an SDK thread's work that may use libraries. It is not
    /// admitted once the gate is closed; nested units count as one.
    class Work {
      public:
        Work();
        ~Work();
        Work(const Work&) = delete;
        Work& operator=(const Work&) = delete;
        explicit operator bool() const { return admitted_; }

      private:
        bool admitted_;
    };

    /// Runs `work` as one unit, or parks the calling thread when the gate is closed.
    template <typename F>
    static void runOrPark(F&& work) {
        {
            Work unit;
            if (unit) {
                work();
                return;
            }
        }
        park();
    }

    /// Never returns: the thread sleeps until the process ends.
    [[noreturn]] static void park();

    /// Work that the exit sequence waits for, within its drain limit: taken
    /// when an envelope is queued for the disk, given back once it is stored
    /// or dropped.
    static void hold();
    static void release();
    static long holds();
    /// Waits until no envelope is on its way to disk, at most `limit`; true
    /// when none is. For a process about to end without exit handlers.
    static bool drain(std::chrono::milliseconds limit);

    /// Called when the exit sequence starts, for threads that sleep inside a
    /// library call and must notice. Wakers are kept for the process's life.
    using Waker = void (*)(void* context);
    static void addWaker(Waker waker, void* context);

    struct Limits {
        std::chrono::milliseconds drain{700};
        std::chrono::milliseconds close{200};
    };
    /// The exit handler's work. Public so that tests can run it in-process.
    static void runExitSequence(Limits limits);
    /// Tests only: opens the gate again (threads that parked stay parked).
    static void resetForTesting();
};

}  // namespace skald::platform
