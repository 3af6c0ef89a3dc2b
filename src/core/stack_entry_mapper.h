#pragma once

#include <memory>

#include "crash/async_safe/stack_cursor.h"
#include "model/in_app_logic.h"
#include "skald/frame.h"

namespace skald::crash {

class BinaryImageCache;

/// Turns stack entries into frames.
class StackEntryMapper {
  public:
    /// Without a cache, the shared one of the dependency container is asked
    /// at each lookup.
    explicit StackEntryMapper(std::shared_ptr<InAppLogic> inAppLogic,
                              std::shared_ptr<BinaryImageCache> binaryImageCache = nullptr);

    /// Addresses are written "0x%016llx". An entry without image address and
    /// image name takes its image from the binary-image cache.
    std::shared_ptr<Frame> skaldCrashStackEntryToSkaldFrame(const StackEntry& stackEntry) const;
    std::shared_ptr<Frame> mapStackEntryWithCursor(const StackCursor& stackCursor) const;

    const std::shared_ptr<InAppLogic>& inAppLogic() const { return inAppLogic_; }

  private:
    std::shared_ptr<InAppLogic> inAppLogic_;
    std::shared_ptr<BinaryImageCache> binaryImageCache_;
};

}  // namespace skald::crash
