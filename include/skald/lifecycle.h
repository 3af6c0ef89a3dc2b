#pragma once

namespace skald {

/// For hosts that run their own loop (a GTK or Qt program, a daemon, a
/// command-line tool): they tell the SDK what the application does, and the
/// SDK's sessions and the crash reporter's activity counts follow. The
/// application layer of this project posts the same notifications itself.
/// Each call posts the matching application notification on the default
/// notification centre, from any thread.
class Lifecycle {
  public:
    static void didBecomeActive();
    static void willResignActive();
    static void didEnterBackground();
    static void willEnterForeground();
    static void willTerminate();
};

}  // namespace skald
