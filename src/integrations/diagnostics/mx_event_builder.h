#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/diagnostics/mx_call_stack_tree.h"
#include "integrations/diagnostics/mx_exception_params.h"
#include "model/in_app_logic.h"
#include "skald/debug_meta.h"
#include "skald/event.h"
#include "skald/stacktrace.h"

namespace skald {

/// Turns a diagnostic's call-stack tree into events: one event for a tree of
/// per-thread stacks, one event per leaf path of a tree of frames.
class MXEventBuilder {
  public:
    /// A hostile tree could ask for one event per frame; the rest are dropped.
    static constexpr size_t kMaxEventsPerDiagnostic = 100;

    explicit MXEventBuilder(InAppLogic inAppLogic);

    std::vector<std::shared_ptr<Event>> eventsForTree(const MXCallStackTree& tree,
                                                      const MXExceptionParams& params) const;

    /// Level, timestamp, one exception with a synthetic mechanism.
    std::shared_ptr<Event> createEvent(const MXExceptionParams& params) const;

    /// Frames in the given order, function left "<redacted>"; no registers.
    std::shared_ptr<Stacktrace> convertMXFramesToSkaldStacktrace(
        const std::vector<const MXFrame*>& frames) const;

    /// One image per binary UUID, the first frame of a binary wins.
    static std::vector<std::shared_ptr<DebugMeta>> extractDebugMetaFromMXFrames(
        const std::vector<const MXFrame*>& frames);
    /// The images of every stack, one per debug id; later stacks replace
    /// earlier entries.
    static std::vector<std::shared_ptr<DebugMeta>> extractDebugMetaFromMXCallStacks(
        const std::vector<MXCallStack>& callStacks);

  private:
    std::shared_ptr<Event> eventForPerThreadTree(const MXCallStackTree& tree,
                                                 const MXExceptionParams& params) const;
    std::shared_ptr<Event> eventNotPerThread(const std::vector<const MXFrame*>& frames,
                                             const MXExceptionParams& params) const;
    /// Appends one event per path from `root` to a leaf, until `events` holds
    /// kMaxEventsPerDiagnostic.
    void appendLeafPathEvents(const MXFrame& root, const MXExceptionParams& params,
                              std::vector<std::shared_ptr<Event>>& events) const;

    InAppLogic inAppLogic_;
};

}  // namespace skald
