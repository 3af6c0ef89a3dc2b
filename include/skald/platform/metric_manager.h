#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "skald/platform/diagnostic_payload.h"

namespace skald::platform {

/// Receives the diagnostic payloads the metric manager delivers.
class MetricManagerSubscriber {
  public:
    virtual ~MetricManagerSubscriber() = default;
    virtual void didReceiveDiagnosticPayloads(const std::vector<DiagnosticPayload>& payloads) = 0;
};

/// The process's metric manager: hands diagnostic payloads to its
/// subscribers. Linux produces none by itself; a host, a test or the SDK's own
/// resource watcher delivers them.
class MetricManager {
  public:
    static MetricManager& shared();

    /// Held weakly; adding one twice keeps one.
    void addSubscriber(const std::shared_ptr<MetricManagerSubscriber>& subscriber);
    void removeSubscriber(const MetricManagerSubscriber* subscriber);

    /// Calls every live subscriber on the calling thread, in the order they
    /// were added.
    void deliverDiagnosticPayloads(const std::vector<DiagnosticPayload>& payloads);

    /// Parses the JSON form (see DiagnosticPayload) and delivers it; false
    /// (with `error` set) when it does not parse, and nothing is delivered.
    bool deliverDiagnosticPayloadsJson(std::string_view json, std::string* error = nullptr);

  private:
    MetricManager() = default;
    std::mutex mutex_;
    std::vector<std::weak_ptr<MetricManagerSubscriber>> subscribers_;
};

}  // namespace skald::platform
