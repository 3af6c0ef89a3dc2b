#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/stack_entry_mapper.h"
#include "crash/async_safe/stack_cursor.h"
#include "skald/stacktrace.h"

namespace skald {

/// Builds stack traces of the calling thread for live events.
class StacktraceBuilder {
  public:
    /// Entries walked by default; far beyond any sane stack, it only bounds a
    /// walk that went astray.
    static constexpr int kMaxEntries = 1024;

    explicit StacktraceBuilder(std::shared_ptr<crash::StackEntryMapper> stackEntryMapper);

    /// Look up each address with the loader (`dladdr`); entries it does not
    /// know are left out. Off: frames carry addresses and the cached image.
    bool symbolicate = false;

    /// The calling thread's stack, outermost caller first, starting at the
    /// caller of this function. No registers.
    std::shared_ptr<Stacktrace> buildStacktraceForCurrentThread(int maxEntries = kMaxEntries);

    /// A stack another thread recorded of itself: `addresses` innermost
    /// first, the first being where it stopped. At most `maxEntries` are used.
    /// The caller refreshes the image list first (once for many stacks).
    std::shared_ptr<Stacktrace> buildStacktraceForAddresses(const uintptr_t* addresses, int count,
                                                            int maxEntries = kMaxEntries);

    /// The stack that `cursor` walks, outermost caller first.
    std::shared_ptr<Stacktrace> buildStacktrace(crash::StackCursor& cursor);

  private:
    std::shared_ptr<crash::StackEntryMapper> stackEntryMapper_;
};

}  // namespace skald
