#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "core/diagnostics/mx_call_stack_tree.h"
#include "skald/date.h"
#include "skald/platform/metric_manager.h"

namespace skald {

/// Receives the diagnostics of the payloads, each with its decoded tree and
/// the payload's period.
class MXManagerDelegate {
  public:
    virtual ~MXManagerDelegate() = default;
    virtual void didReceiveCrashDiagnostic(const platform::CrashDiagnostic& diagnostic,
                                           const MXCallStackTree& callStackTree,
                                           Date timeStampBegin, Date timeStampEnd) = 0;
    virtual void didReceiveCpuExceptionDiagnostic(
        const platform::CpuExceptionDiagnostic& diagnostic, const MXCallStackTree& callStackTree,
        Date timeStampBegin, Date timeStampEnd) = 0;
    virtual void didReceiveDiskWriteExceptionDiagnostic(
        const platform::DiskWriteExceptionDiagnostic& diagnostic,
        const MXCallStackTree& callStackTree, Date timeStampBegin, Date timeStampEnd) = 0;
    virtual void didReceiveHangDiagnostic(const platform::HangDiagnostic& diagnostic,
                                          const MXCallStackTree& callStackTree, Date timeStampBegin,
                                          Date timeStampEnd) = 0;
};

/// Subscribes to the process's metric manager and hands each diagnostic of
/// the payloads it gets to its delegate (held weakly): crash diagnostics
/// (unless disabled), then disk-write, CPU and hang diagnostics. A
/// diagnostic whose tree does not decode is skipped.
class MXManager : public platform::MetricManagerSubscriber,
                  public std::enable_shared_from_this<MXManager> {
  public:
    explicit MXManager(bool disableCrashDiagnostics);

    void setDelegate(std::weak_ptr<MXManagerDelegate> delegate);
    std::shared_ptr<MXManagerDelegate> delegate() const;

    /// Must be shared (std::make_shared) to subscribe.
    void receiveReports();
    void pauseReports();

    void didReceiveDiagnosticPayloads(
        const std::vector<platform::DiagnosticPayload>& payloads) override;

    bool disableCrashDiagnostics() const { return disableCrashDiagnostics_; }

  private:
    const bool disableCrashDiagnostics_;
    mutable std::mutex mutex_;
    std::weak_ptr<MXManagerDelegate> delegate_;
};

}  // namespace skald
