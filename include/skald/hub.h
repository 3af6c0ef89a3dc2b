#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "skald/date.h"
#include "skald/envelope.h"
#include "skald/error.h"
#include "skald/event.h"
#include "skald/exception_object.h"
#include "skald/flush_result.h"
#include "skald/id.h"
#include "skald/span_context.h"

namespace skald {

class Breadcrumb;
class Client;
class CrashWrapper;
class DispatchQueueWrapper;
class Integration;
class LocalMetricsAggregator;
class MetricsAPI;
class Scope;
class Session;
class Span;
class Transaction;
class User;
class UserFeedback;

/// Told when the hub starts and ends a session.
class SessionListener {
  public:
    virtual ~SessionListener() = default;
    virtual void sessionStarted(const std::shared_ptr<Session>& session) = 0;
    virtual void sessionEnded(const std::shared_ptr<Session>& session) = 0;
};

/// Pairs the client with the scope and routes every capture to the client.
/// Without a client every capture is a no-op giving the empty id. A null
/// scope handed to a capture stands for the hub's own scope.
class Hub : public std::enable_shared_from_this<Hub> {
  public:
    /// With the shared crash wrapper and dispatch-queue wrapper.
    Hub(std::shared_ptr<Client> client, std::shared_ptr<Scope> scope);
    Hub(std::shared_ptr<Client> client, std::shared_ptr<Scope> scope,
        std::shared_ptr<CrashWrapper> crashWrapper,
        std::shared_ptr<DispatchQueueWrapper> dispatchQueue);
    ~Hub();

    std::shared_ptr<Client> getClient() const;
    void bindClient(std::shared_ptr<Client> client);
    /// Made on first use, with the client's breadcrumb capacity.
    std::shared_ptr<Scope> scope();
    /// Not called without a client.
    void configureScope(const std::function<void(Scope&)>& callback);
    void setUser(std::shared_ptr<User> user);

    Id captureEvent(std::shared_ptr<Event> event);
    Id captureEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope,
                    const Envelope::Items& additionalEnvelopeItems = {});
    Id captureError(const Error& error);
    Id captureError(const Error& error, const std::shared_ptr<Scope>& scope);
    Id captureException(const ExceptionObject& exception);
    Id captureException(const ExceptionObject& exception, const std::shared_ptr<Scope>& scope);
    Id captureMessage(const std::string& message);
    Id captureMessage(const std::string& message, const std::shared_ptr<Scope>& scope);
    void captureCrashEvent(std::shared_ptr<Event> event);
    void captureCrashEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope);

    /// Starts a transaction: sampled by the options' samplers and rates,
    /// bound to the scope as its span when `bindToScope`. Never null.
    std::shared_ptr<Span> startTransaction(const std::string& name, const std::string& operation,
                                           bool bindToScope = false);
    std::shared_ptr<Span> startTransaction(
        const TransactionContext& context, bool bindToScope = false,
        const std::optional<Json>& customSamplingContext = std::nullopt,
        const TracerConfiguration& configuration = TracerConfiguration());
    /// Sends a sampled transaction from the hub's queue; an unsampled one is
    /// counted as lost with its spans.
    void captureTransaction(const std::shared_ptr<Transaction>& transaction,
                            const std::shared_ptr<Scope>& scope,
                            const Envelope::Items& additionalEnvelopeItems = {});
    void captureUserFeedback(const UserFeedback& feedback);
    /// Updates the session from the envelope's error events, then sends.
    void captureEnvelope(const std::shared_ptr<Envelope>& envelope);
    /// Updates the session from the envelope's error events, then stores it unsent.
    void storeEnvelope(const std::shared_ptr<Envelope>& envelope);

    void addBreadcrumb(std::shared_ptr<Breadcrumb> crumb);

    void startSession();
    void endSession();
    void endSessionWithTimestamp(Date timestamp);
    void captureSession(const std::shared_ptr<Session>& session);
    /// A copy of the session after counting one more error; null without a session.
    std::shared_ptr<Session> incrementSessionErrors();
    void closeCachedSessionWithTimestamp(std::optional<Date> timestamp);
    std::shared_ptr<Session> session() const;
    uint64_t errorsBeforeSession() const;

    /// Installs the integrations the client's options name, in their order.
    void installIntegrations();
    bool hasIntegration(const std::string& name) const;
    /// Whether an integration of that class name is installed.
    bool isIntegrationInstalled(const std::string& className) const;
    std::shared_ptr<Integration> getInstalledIntegration(const std::string& className) const;
    template <typename T>
    std::shared_ptr<T> getInstalledIntegration() const {
        for (const auto& integration : installedIntegrations()) {
            if (auto typed = std::dynamic_pointer_cast<T>(integration)) return typed;
        }
        return nullptr;
    }
    void addInstalledIntegration(std::shared_ptr<Integration> integration, const std::string& name);
    /// Uninstalls each, then forgets them.
    void removeAllIntegrations();
    std::vector<std::shared_ptr<Integration>> installedIntegrations() const;
    std::set<std::string> installedIntegrationNames() const;
    /// The current hub's integration names without "Skald" and "Integration".
    static std::vector<std::string> trimmedInstalledIntegrationNames();

    void registerSessionListener(std::shared_ptr<SessionListener> listener);
    void unregisterSessionListener(const std::shared_ptr<SessionListener>& listener);

    std::map<std::string, std::string> getDefaultTagsForMetrics() const;
    std::shared_ptr<Span> getCurrentSpan();
    /// The span's metrics summary; null for spans that keep none, or when
    /// `enableSpanLocalMetricAggregation` is off.
    std::shared_ptr<LocalMetricsAggregator> getLocalMetricsAggregator(
        const std::shared_ptr<Span>& span);
    /// The metrics entry, made with the hub. It keeps the hub alive.
    std::shared_ptr<MetricsAPI> metrics();

    FlushResult flush(double timeoutSeconds);
    void close();

    const std::shared_ptr<DispatchQueueWrapper>& dispatchQueue() const { return dispatchQueue_; }

  private:
    std::shared_ptr<Scope> scopeOrOwn(const std::shared_ptr<Scope>& scope);
    std::shared_ptr<Session> sessionForEnvelope(const Envelope& envelope, bool startNewSession);
    std::shared_ptr<Envelope> withSessionUpdate(const std::shared_ptr<Envelope>& envelope,
                                                bool startNewSession);
    std::shared_ptr<Session> newSessionLocked(const std::shared_ptr<Client>& client);
    void notifySessionStarted(const std::shared_ptr<Session>& session);
    void notifySessionEnded(const std::shared_ptr<Session>& session);
    std::shared_ptr<SessionListener> sessionListener() const;

    mutable std::mutex sessionLock_;
    mutable std::mutex integrationsLock_;
    mutable std::mutex scopeLock_;
    mutable std::mutex clientLock_;

    std::shared_ptr<Scope> scope_;
    std::shared_ptr<Client> client_;
    /// Waits until what was queued on the hub's queue so far has run.
    bool waitForQueuedCaptures(double timeoutSeconds);

    std::shared_ptr<DispatchQueueWrapper> dispatchQueue_;
    std::shared_ptr<CrashWrapper> crashWrapper_;
    std::set<std::string> installedIntegrationNames_;
    uint64_t errorsBeforeSession_ = 0;
    std::weak_ptr<SessionListener> sessionListener_;
    std::shared_ptr<Session> session_;
    std::vector<std::shared_ptr<Integration>> installedIntegrations_;
    class MetricsDelegate;
    std::unique_ptr<MetricsDelegate> metricsDelegate_;
    std::shared_ptr<MetricsAPI> metrics_;
};

}  // namespace skald
