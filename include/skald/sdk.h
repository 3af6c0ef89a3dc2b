#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "skald/envelope.h"
#include "skald/error.h"
#include "skald/event.h"
#include "skald/exception_object.h"
#include "skald/id.h"
#include "skald/options.h"

namespace skald {

class AppStartMeasurement;
class Breadcrumb;
class Hub;
class MetricsAPI;
class Scope;
class Span;
class TransactionContext;
class User;
class UserFeedback;

/// Changes a copy of the scope for one capture.
using ScopeBlock = std::function<void(Scope&)>;

/// The SDK's static entry. Start it once; every capture, breadcrumb and
/// scope change goes through it to the current hub. Safe to call from any
/// thread, before start and after close (captures then give the empty id).
/// Nothing is thrown. A null scope stands for the hub's scope; a null event,
/// envelope or breadcrumb is ignored (captures give the empty id). Text that
/// is not valid UTF-8 is sent with U+FFFD in place of the invalid bytes.
class SDK {
  public:
    SDK() = delete;

    /// Default options, adjusted by `configure`, then `startWithOptions`.
    static void startWithConfigureOptions(const std::function<void(Options&)>& configure);
    /// Hub creation and integrations run on the main thread: inline when
    /// called there, else queued on the main queue.
    static void startWithOptions(std::shared_ptr<Options> options);
    /// A hub with a client exists.
    static bool isEnabled();

    /// Never null: a hub without client stands in before start and after close.
    static std::shared_ptr<Hub> currentHub();
    static void setCurrentHub(std::shared_ptr<Hub> hub);
    /// The options of the last start, or null.
    static std::shared_ptr<Options> options();
    static std::shared_ptr<Span> span();
    /// The current hub's metrics entry; never null. Values go to the hub that
    /// was current when it was asked for: ask after start. Hold it where values
    /// are recorded often, as asking takes the SDK's hub lock.
    static std::shared_ptr<MetricsAPI> metrics();

    static Id captureEvent(std::shared_ptr<Event> event);
    static Id captureEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope);
    static Id captureEvent(std::shared_ptr<Event> event, const ScopeBlock& block);
    static Id captureError(const Error& error);
    static Id captureError(const Error& error, const std::shared_ptr<Scope>& scope);
    static Id captureError(const Error& error, const ScopeBlock& block);
    static Id captureException(const ExceptionObject& exception);
    static Id captureException(const ExceptionObject& exception,
                               const std::shared_ptr<Scope>& scope);
    static Id captureException(const ExceptionObject& exception, const ScopeBlock& block);
    static Id captureMessage(const std::string& message);
    static Id captureMessage(const std::string& message, const std::shared_ptr<Scope>& scope);
    static Id captureMessage(const std::string& message, const ScopeBlock& block);
    static void captureCrashEvent(std::shared_ptr<Event> event);
    static void captureCrashEvent(std::shared_ptr<Event> event,
                                  const std::shared_ptr<Scope>& scope);
    static void captureEnvelope(const std::shared_ptr<Envelope>& envelope);
    static void storeEnvelope(const std::shared_ptr<Envelope>& envelope);
    static void captureUserFeedback(const UserFeedback& feedback);

    static void addBreadcrumb(std::shared_ptr<Breadcrumb> crumb);
    /// Not called while the SDK has no client.
    static void configureScope(const std::function<void(Scope&)>& callback);
    static void setUser(std::shared_ptr<User> user);

    /// A new transaction, sampled by the options' samplers and rates; bound
    /// to the scope as its span when `bindToScope`, so that errors captured
    /// meanwhile carry its trace. Never null; finish it (or hold it in a
    /// `ScopedSpan`) to send it.
    static std::shared_ptr<Span> startTransaction(const std::string& name,
                                                  const std::string& operation,
                                                  bool bindToScope = false);
    static std::shared_ptr<Span> startTransaction(
        const TransactionContext& context, bool bindToScope = false,
        const std::optional<Json>& customSamplingContext = std::nullopt);

    /// Whether the previous run of this program ended in a crash.
    static bool crashedLastRun();
    static void startSession();
    static void endSession();
    /// The screen of the transaction bound to the scope is fully drawn: a
    /// "ui.load.full_display" span from its start and the measurement
    /// "time_to_full_display" (milliseconds). Nothing without one.
    static void reportFullyDisplayed();
    static void pauseAppHangTracking();
    static void resumeAppHangTracking();

    /// Blocks until the stored envelopes are sent or `timeoutSeconds` passed.
    static void flush(double timeoutSeconds);
    static void close();
    /// Traps the process, to try the crash reporter.
    [[noreturn]] static void crash();

    static void startProfiler();
    static void stopProfiler();

    static void setAppStartMeasurement(std::shared_ptr<AppStartMeasurement> measurement);
    static std::shared_ptr<AppStartMeasurement> getAppStartMeasurement();

    /// Starts since the process began; never reset.
    static unsigned startInvocations();
};

}  // namespace skald
