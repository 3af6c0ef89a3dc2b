#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "model/in_app_logic.h"
#include "skald/event.h"
#include "skald/json.h"

namespace skald::crash {

/// Turns one stored crash report into the fatal event that is sent for it.
/// A converter serves one report.
class CrashReportConverter {
  public:
    CrashReportConverter(Json report, std::shared_ptr<InAppLogic> inAppLogic);

    /// A fatal event for any report that is an object, however little of it
    /// is usable; null (logged) for anything else.
    std::shared_ptr<Event> convertReportToEvent() const;

    /// Reads a stored report's text. A truncated or malformed file gives what
    /// was read before the fault (logged with `reportId`) as long as that is
    /// an object with at least one entry; otherwise nothing, logged as a
    /// report that could not be loaded.
    static std::optional<Json> decodeStoredReport(std::string_view text, uint64_t reportId);

  private:
    std::shared_ptr<Thread> threadAt(size_t index) const;
    std::shared_ptr<Stacktrace> stacktraceForThread(const Json& thread) const;
    std::shared_ptr<Frame> frameForEntry(const Json& entry) const;
    const Json* binaryImageForAddress(uint64_t address) const;
    std::vector<std::shared_ptr<DebugMeta>> debugMetaForThreads(
        const std::vector<std::shared_ptr<Thread>>& threads) const;
    std::shared_ptr<Exception> exceptionForCrashedThread(
        const std::shared_ptr<Thread>& crashedThread) const;
    void applyCrashInfoMessage(Exception& exception) const;
    std::shared_ptr<Mechanism> mechanism() const;
    void applyUserContext(Event& event) const;

    Json report_;
    Json systemContext_;
    Json userContext_;
    Json crash_;
    Json binaryImages_;
    std::optional<std::string> diagnosis_;
    Json exceptionContext_;
    std::vector<Json> threads_;
    size_t crashedThreadIndex_ = 0;
    std::shared_ptr<InAppLogic> inAppLogic_;
};

}  // namespace skald::crash
