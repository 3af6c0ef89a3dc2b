#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "skald/breadcrumb.h"
#include "skald/debug_meta.h"
#include "skald/envelope.h"
#include "skald/id.h"
#include "skald/json.h"
#include "skald/options.h"
#include "skald/user.h"

namespace skald {

class AppStartMeasurement;

/// For SDKs that wrap this one inside the same process (bindings for other
/// languages or frameworks): direct access to pieces the public entry keeps
/// inside. Nothing here throws.
class PrivateSDKOnly {
  public:
    using AppStartMeasurementCallback =
        std::function<void(const std::shared_ptr<AppStartMeasurement>&)>;

    PrivateSDKOnly() = delete;

    /// Written to the disk cache, not sent now.
    static void storeEnvelope(const std::shared_ptr<Envelope>& envelope);
    static void captureEnvelope(const std::shared_ptr<Envelope>& envelope);
    /// Null when the bytes are not an envelope.
    static std::shared_ptr<Envelope> envelopeWithData(std::string_view data);

    /// Every loaded image, as in a crash.
    static std::vector<std::shared_ptr<DebugMeta>> getDebugImages();
    static std::vector<std::shared_ptr<DebugMeta>> getDebugImagesCrashed(bool isCrash);

    static std::shared_ptr<AppStartMeasurement> appStartMeasurement();
    /// Always null on this platform.
    static std::optional<Json> appStartMeasurementWithSpans();
    static std::string installationID();
    /// The current client's options, or fresh defaults without a client.
    static std::shared_ptr<Options> options();

    static AppStartMeasurementCallback onAppStartMeasurementAvailable();
    static void setOnAppStartMeasurementAvailable(AppStartMeasurementCallback callback);
    static bool appStartMeasurementHybridSDKMode();
    static void setAppStartMeasurementHybridSDKMode(bool enabled);

    /// Both travel in request headers: text with control characters is refused
    /// (logged) and the previous name and version stay.
    static void setSdkName(const std::string& name, const std::string& versionString);
    static void setSdkName(const std::string& name);
    static std::string getSdkName();
    static std::string getSdkVersionString();

    /// {"device": {"free_memory", "processor_count"}, "app": {"app_memory"}}.
    static Json getExtraContext();

    /// Profiling for traces the wrapper manages itself. Starting gives the
    /// monotonic time (ns) at which the profiler ran, nothing when it could
    /// not start; collecting gives the profile payload of the window (with
    /// "platform" and "transaction": {"active_thread_id"}), nothing for a
    /// trace that was never started or was discarded.
    static std::optional<uint64_t> startProfilerForTrace(const Id& traceId);
    static std::optional<Json> collectProfileBetween(uint64_t startSystemTime,
                                                     uint64_t endSystemTime, const Id& traceId);
    static void discardProfilerForTrace(const Id& traceId);

    /// Need a mobile user-interface framework: nothing happens, the getters
    /// give false or null, and each writes one debug line.
    static bool framesTrackingMeasurementHybridSDKMode();
    static void setFramesTrackingMeasurementHybridSDKMode(bool enabled);
    static bool isFramesTrackingRunning();
    static std::optional<Json> currentScreenFrames();
    static std::optional<std::vector<std::string>> captureScreenshots();
    static std::optional<std::string> captureViewHierarchy();

    static User userWithDictionary(const Json& dictionary);
    static Breadcrumb breadcrumbWithDictionary(const Json& dictionary);
};

}  // namespace skald
