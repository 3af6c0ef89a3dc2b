#include "skald/hub.h"

#include <algorithm>
#include <chrono>
#include <future>

#include "core/client.h"
#include "core/crash_wrapper.h"
#include "core/dependency_container.h"
#include "core/installation.h"
#include "core/integration.h"
#include "core/metrics/local_metrics_aggregator.h"
#include "core/tracing/sampling.h"
#include "core/tracing/tracer.h"
#include "core/tracing/transaction.h"
#include "persistence/file_manager.h"
#include "skald/breadcrumb.h"
#include "skald/metrics.h"
#include "skald/options.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "skald/session.h"
#include "skald/span.h"
#include "skald/user.h"
#include "skald/user_feedback.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/iso8601.h"
#include "util/json_bytes.h"
#include "util/log.h"

namespace skald {

namespace {

Date now() {
    return DependencyContainer::sharedInstance()->dateProvider()->date();
}

// Whether every exception of the event JSON was handled (or there is none).
bool allExceptionsHandled(const Json& event) {
    auto exception = event.find("exception");
    if (exception == event.end() || !exception->is_object()) return true;
    auto values = exception->find("values");
    if (values == exception->end() || !values->is_array()) return true;
    for (const auto& value : *values) {
        if (!value.is_object()) continue;
        auto mechanism = value.find("mechanism");
        if (mechanism == value.end() || !mechanism->is_object()) continue;
        auto handled = mechanism->find("handled");
        if (handled != mechanism->end() && handled->is_boolean() && !handled->get<bool>())
            return false;
    }
    return true;
}

bool diagnosticLevelIsDebug(const std::shared_ptr<Client>& client) {
    return client && client->options()->diagnosticLevel == Level::Debug;
}

void logSessionStatus(const char* format, const std::shared_ptr<Session>& session) {
    if (!Log::willLog(Level::Debug)) return;
    const auto text = session ? describeJson(session->serialize()) : std::string("Session is nil.");
    SKALD_LOG_DEBUG(format, text.c_str());
}

}  // namespace

/// The hub's side of its metrics entry. The scope is taken once: the hub
/// never replaces it, and every value asks for its span.
class Hub::MetricsDelegate final : public MetricsAPIDelegate {
  public:
    explicit MetricsDelegate(Hub& hub) : hub_(hub) {}
    std::map<std::string, std::string> getDefaultTagsForMetrics() const override {
        return hub_.getDefaultTagsForMetrics();
    }
    std::shared_ptr<Span> getCurrentSpan() override {
        std::call_once(scopeOnce_, [this] { scope_ = hub_.scope(); });
        return scope_->span();
    }
    std::shared_ptr<LocalMetricsAggregator> getLocalMetricsAggregator(
        const std::shared_ptr<Span>& span) override {
        return hub_.getLocalMetricsAggregator(span);
    }

  private:
    Hub& hub_;
    std::once_flag scopeOnce_;
    std::shared_ptr<Scope> scope_;
};

Hub::Hub(std::shared_ptr<Client> client, std::shared_ptr<Scope> scope)
    : Hub(std::move(client), std::move(scope),
          DependencyContainer::sharedInstance()->crashWrapper(),
          DependencyContainer::sharedInstance()->dispatchQueueWrapper()) {}

Hub::Hub(std::shared_ptr<Client> client, std::shared_ptr<Scope> scope,
         std::shared_ptr<CrashWrapper> crashWrapper,
         std::shared_ptr<DispatchQueueWrapper> dispatchQueue)
    : scope_(std::move(scope)),
      client_(std::move(client)),
      dispatchQueue_(std::move(dispatchQueue)),
      crashWrapper_(std::move(crashWrapper)) {
    const auto container = DependencyContainer::sharedInstance();
    const auto& options = client_ ? client_->options() : nullptr;
    metricsDelegate_ = std::make_unique<MetricsDelegate>(*this);
    metrics_ = std::make_shared<MetricsAPI>(
        options && options->enableMetrics, client_, container->dateProvider(), dispatchQueue_,
        *container->random(), options ? options->beforeEmitMetric : BeforeEmitMetricCallback());
    metrics_->setDelegate(metricsDelegate_.get());
    if (scope_ && crashWrapper_) crashWrapper_->enrichScope(*scope_);
}

Hub::~Hub() = default;

std::shared_ptr<Client> Hub::getClient() const {
    std::lock_guard guard(clientLock_);
    return client_;
}

void Hub::bindClient(std::shared_ptr<Client> client) {
    std::lock_guard guard(clientLock_);
    client_ = std::move(client);
}

std::shared_ptr<Scope> Hub::scope() {
    std::lock_guard guard(scopeLock_);
    if (!scope_) {
        auto client = getClient();
        scope_ = client ? std::make_shared<Scope>(client->options()->maxBreadcrumbs)
                        : std::make_shared<Scope>();
        if (crashWrapper_) crashWrapper_->enrichScope(*scope_);
    }
    return scope_;
}

void Hub::configureScope(const std::function<void(Scope&)>& callback) {
    auto client = getClient();
    if (!client || !callback) return;
    auto current = scope();
    callback(*current);
}

void Hub::setUser(std::shared_ptr<User> user) {
    scope()->setUser(std::move(user));
}

std::shared_ptr<Scope> Hub::scopeOrOwn(const std::shared_ptr<Scope>& scope) {
    return scope ? scope : this->scope();
}

// --- Capture ----------------------------------------------------------------------

Id Hub::captureEvent(std::shared_ptr<Event> event) {
    return captureEvent(std::move(event), scope());
}

Id Hub::captureEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope,
                     const Envelope::Items& additionalEnvelopeItems) {
    auto client = getClient();
    if (!client) return Id::empty();
    return client->captureEvent(std::move(event), scopeOrOwn(scope), additionalEnvelopeItems);
}

Id Hub::captureMessage(const std::string& message) {
    return captureMessage(message, scope());
}

Id Hub::captureMessage(const std::string& message, const std::shared_ptr<Scope>& scope) {
    auto client = getClient();
    if (!client) return Id::empty();
    return client->captureMessage(message, scopeOrOwn(scope));
}

Id Hub::captureError(const Error& error) {
    return captureError(error, scope());
}

Id Hub::captureError(const Error& error, const std::shared_ptr<Scope>& scope) {
    auto client = getClient();
    if (!client) return Id::empty();
    const auto used = scopeOrOwn(scope);
    if (session()) {
        return client->captureError(error, used, [this] { return incrementSessionErrors(); });
    }
    {
        std::lock_guard guard(sessionLock_);
        ++errorsBeforeSession_;
    }
    return client->captureError(error, used);
}

Id Hub::captureException(const ExceptionObject& exception) {
    return captureException(exception, scope());
}

Id Hub::captureException(const ExceptionObject& exception, const std::shared_ptr<Scope>& scope) {
    auto client = getClient();
    if (!client) return Id::empty();
    const auto used = scopeOrOwn(scope);
    if (session()) {
        return client->captureException(exception, used,
                                        [this] { return incrementSessionErrors(); });
    }
    {
        std::lock_guard guard(sessionLock_);
        ++errorsBeforeSession_;
    }
    return client->captureException(exception, used);
}

void Hub::captureCrashEvent(std::shared_ptr<Event> event) {
    captureCrashEvent(std::move(event), scope());
}

void Hub::captureCrashEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope) {
    auto client = getClient();
    if (!client || !event) return;
    event->isCrashEvent = true;
    const auto used = scopeOrOwn(scope);
    auto fileManager = client->fileManager();
    auto crashedSession = fileManager ? fileManager->readCrashedSession() : nullptr;
    if (crashedSession) {
        client->captureCrashEvent(std::move(event), crashedSession, used);
        fileManager->deleteCrashedSession();
    } else {
        client->captureCrashEvent(std::move(event), used);
    }
}

void Hub::captureUserFeedback(const UserFeedback& feedback) {
    if (auto client = getClient()) client->captureUserFeedback(feedback);
}

void Hub::captureEnvelope(const std::shared_ptr<Envelope>& envelope) {
    auto client = getClient();
    if (!client || !envelope) return;
    client->captureEnvelope(withSessionUpdate(envelope, true));
}

void Hub::storeEnvelope(const std::shared_ptr<Envelope>& envelope) {
    auto client = getClient();
    if (!client || !envelope) return;
    client->storeEnvelope(withSessionUpdate(envelope, false));
}

std::shared_ptr<Envelope> Hub::withSessionUpdate(const std::shared_ptr<Envelope>& envelope,
                                                 bool startNewSession) {
    auto updated = sessionForEnvelope(*envelope, startNewSession);
    if (!updated) return envelope;
    auto items = envelope->items();
    if (auto item = EnvelopeItem::forSession(*updated)) items.push_back(std::move(item));
    return std::make_shared<Envelope>(envelope->header(), std::move(items));
}

std::shared_ptr<Session> Hub::sessionForEnvelope(const Envelope& envelope, bool startNewSession) {
    std::optional<Json> errorEvent;
    for (const auto& item : envelope.items()) {
        if (!item || !item->header() || item->header()->type() != "event") continue;
        auto json = parseJsonBytes(item->data());
        if (!json || !json->is_object()) return nullptr;
        auto level = json->find("level");
        if (level == json->end() || !level->is_string()) continue;
        const Level value = levelForName(level->get<std::string>());
        if (value == Level::Error || value == Level::Fatal) {
            errorEvent = std::move(*json);
            break;
        }
    }
    if (!errorEvent) return nullptr;

    std::shared_ptr<Session> result;
    std::shared_ptr<Session> started;
    {
        std::lock_guard guard(sessionLock_);
        if (!session_) return nullptr;
        if (allExceptionsHandled(*errorEvent)) {
            session_->incrementErrors();
            result = std::make_shared<Session>(*session_);
        } else {
            result = std::make_shared<Session>(*session_);
            result->endSessionCrashed(now());
            if (diagnosticLevelIsDebug(getClient())) {
                logSessionStatus("Ending session with status: %s", result);
            }
            if (startNewSession) {
                session_.reset();
                started = newSessionLocked(getClient());
            }
        }
    }
    if (started) notifySessionStarted(started);
    return result;
}

void Hub::addBreadcrumb(std::shared_ptr<Breadcrumb> crumb) {
    auto client = getClient();
    if (!crumb || !client || client->options()->maxBreadcrumbs == 0) return;
    if (const auto& before = client->options()->beforeBreadcrumb) {
        crumb = before(std::move(crumb));
        if (!crumb) {
            SKALD_LOG_DEBUG("Discarded Breadcrumb in `beforeBreadcrumb`");
            return;
        }
    }
    scope()->addBreadcrumb(std::move(crumb));
}

// --- Sessions -----------------------------------------------------------------------

std::shared_ptr<Session> Hub::newSessionLocked(const std::shared_ptr<Client>& client) {
    const auto& options = client->options();
    auto session = std::make_shared<Session>(options->releaseName,
                                             Installation::id(options->cacheDirectoryPath));
    if (errorsBeforeSession_ != 0 && options->enableAutoSessionTracking) {
        for (uint64_t i = 0; i < errorsBeforeSession_; ++i) session->incrementErrors();
        errorsBeforeSession_ = 0;
    }
    session->setEnvironment(options->environment);
    scope()->applyToSession(*session);
    session_ = session;
    if (auto fileManager = client->fileManager()) fileManager->storeCurrentSession(*session);
    return session;
}

void Hub::startSession() {
    auto client = getClient();
    if (!client || !client->options()->releaseName) {
        SKALD_LOG_ERROR("No option or release to start a session.");
        return;
    }
    std::shared_ptr<Session> previous;
    std::shared_ptr<Session> started;
    {
        std::lock_guard guard(sessionLock_);
        previous = session_;
        started = newSessionLocked(client);
    }
    captureSession(started);
    if (previous) {
        previous->endSessionExited(now());
        captureSession(previous);
    }
    notifySessionStarted(started);
}

void Hub::endSession() {
    endSessionWithTimestamp(now());
}

void Hub::endSessionWithTimestamp(Date timestamp) {
    std::shared_ptr<Session> current;
    {
        std::lock_guard guard(sessionLock_);
        current = std::move(session_);
        session_.reset();
        errorsBeforeSession_ = 0;
        if (auto client = getClient()) {
            if (auto fileManager = client->fileManager()) fileManager->deleteCurrentSession();
        }
    }
    if (!current) {
        SKALD_LOG_DEBUG("No session to end with timestamp.");
        return;
    }
    current->endSessionExited(timestamp);
    captureSession(current);
    notifySessionEnded(current);
}

void Hub::captureSession(const std::shared_ptr<Session>& session) {
    if (!session) return;
    auto client = getClient();
    if (diagnosticLevelIsDebug(client)) {
        logSessionStatus("Capturing session with status: %s", session);
    }
    if (client) client->captureSession(session);
}

std::shared_ptr<Session> Hub::incrementSessionErrors() {
    std::lock_guard guard(sessionLock_);
    if (!session_) return nullptr;
    session_->incrementErrors();
    if (auto client = getClient()) {
        if (auto fileManager = client->fileManager()) fileManager->storeCurrentSession(*session_);
    }
    return std::make_shared<Session>(*session_);
}

void Hub::closeCachedSessionWithTimestamp(std::optional<Date> timestamp) {
    auto client = getClient();
    auto fileManager = client ? client->fileManager() : nullptr;
    auto cached = fileManager ? fileManager->readCurrentSession() : nullptr;
    if (!cached) {
        SKALD_LOG_DEBUG("No cached session to close.");
        return;
    }
    SKALD_LOG_DEBUG("A cached session was found.");
    if (!client) {
        SKALD_LOG_DEBUG("No client bound.");
        return;
    }
    // A crash leaves the session to the crash path.
    if (crashWrapper_ && crashWrapper_->crashedLastLaunch()) return;
    if (timestamp) {
        SKALD_LOG_DEBUG("Closing cached session as exited.");
        cached->endSessionExited(*timestamp);
    } else {
        const auto started = formatIso8601Timestamp(cached->started());
        SKALD_LOG_DEBUG(
            "No timestamp to close session was provided. Closing as abnormal. Using session's "
            "start time %s",
            started.c_str());
        cached->endSessionAbnormal(cached->started());
    }
    fileManager->deleteCurrentSession();
    client->captureSession(cached);
}

std::shared_ptr<Session> Hub::session() const {
    std::lock_guard guard(sessionLock_);
    return session_;
}

uint64_t Hub::errorsBeforeSession() const {
    std::lock_guard guard(sessionLock_);
    return errorsBeforeSession_;
}

void Hub::registerSessionListener(std::shared_ptr<SessionListener> listener) {
    std::lock_guard guard(sessionLock_);
    sessionListener_ = listener;
}

void Hub::unregisterSessionListener(const std::shared_ptr<SessionListener>& listener) {
    std::lock_guard guard(sessionLock_);
    if (sessionListener_.lock() == listener) sessionListener_.reset();
}

std::shared_ptr<SessionListener> Hub::sessionListener() const {
    std::lock_guard guard(sessionLock_);
    return sessionListener_.lock();
}

void Hub::notifySessionStarted(const std::shared_ptr<Session>& session) {
    if (auto listener = sessionListener()) listener->sessionStarted(session);
}

void Hub::notifySessionEnded(const std::shared_ptr<Session>& session) {
    if (auto listener = sessionListener()) listener->sessionEnded(session);
}

// --- Integrations -------------------------------------------------------------------

void Hub::installIntegrations() {
    auto client = getClient();
    if (!client) return;
    const auto options = client->options();
    for (const auto& name : options->integrations()) {
        auto integration = IntegrationRegistry::shared().create(name);
        if (!integration) {
            SKALD_LOG_ERROR("[SkaldHub doInstallIntegrations] couldn't find \"%s\" -> skipping.",
                            name.c_str());
            continue;
        }
        if (isIntegrationInstalled(name)) {
            SKALD_LOG_ERROR(
                "[SkaldHub doInstallIntegrations] already installed \"%s\" -> skipping.",
                name.c_str());
            continue;
        }
        if (integration->installWithOptions(*options)) {
            SKALD_LOG_DEBUG("Integration installed: %s", name.c_str());
            addInstalledIntegration(std::move(integration), name);
        }
    }
}

bool Hub::hasIntegration(const std::string& name) const {
    std::lock_guard guard(integrationsLock_);
    return installedIntegrationNames_.count(name) != 0;
}

bool Hub::isIntegrationInstalled(const std::string& className) const {
    return getInstalledIntegration(className) != nullptr;
}

std::shared_ptr<Integration> Hub::getInstalledIntegration(const std::string& className) const {
    std::lock_guard guard(integrationsLock_);
    for (const auto& integration : installedIntegrations_) {
        if (integration->integrationName() == className) return integration;
    }
    return nullptr;
}

void Hub::addInstalledIntegration(std::shared_ptr<Integration> integration,
                                  const std::string& name) {
    if (!integration) return;
    std::lock_guard guard(integrationsLock_);
    installedIntegrations_.push_back(std::move(integration));
    installedIntegrationNames_.insert(name);
}

void Hub::removeAllIntegrations() {
    std::vector<std::shared_ptr<Integration>> integrations;
    {
        std::lock_guard guard(integrationsLock_);
        integrations.swap(installedIntegrations_);
        installedIntegrationNames_.clear();
    }
    for (const auto& integration : integrations) integration->uninstall();
}

std::vector<std::shared_ptr<Integration>> Hub::installedIntegrations() const {
    std::lock_guard guard(integrationsLock_);
    return installedIntegrations_;
}

std::set<std::string> Hub::installedIntegrationNames() const {
    std::lock_guard guard(integrationsLock_);
    return installedIntegrationNames_;
}

std::vector<std::string> Hub::trimmedInstalledIntegrationNames() {
    std::vector<std::string> names;
    for (auto name : SDK::currentHub()->installedIntegrationNames()) {
        for (const std::string part : {"Skald", "Integration"}) {
            for (auto at = name.find(part); at != std::string::npos; at = name.find(part))
                name.erase(at, part.size());
        }
        names.push_back(std::move(name));
    }
    return names;
}

// --- Other --------------------------------------------------------------------------

std::map<std::string, std::string> Hub::getDefaultTagsForMetrics() const {
    std::map<std::string, std::string> tags;
    auto client = getClient();
    if (!client || !client->options()->enableDefaultTagsForMetrics) return tags;
    const auto& options = client->options();
    if (options->releaseName) tags["release"] = *options->releaseName;
    tags["environment"] = options->environment;
    return tags;
}

std::shared_ptr<Span> Hub::startTransaction(const std::string& name, const std::string& operation,
                                            bool bindToScope) {
    return startTransaction(TransactionContext(name, operation), bindToScope);
}

std::shared_ptr<Span> Hub::startTransaction(const TransactionContext& context, bool bindToScope,
                                            const std::optional<Json>& customSamplingContext,
                                            const TracerConfiguration& configuration) {
    auto client = getClient();
    const auto options = client ? client->options() : std::make_shared<Options>();
    const auto random = client && client->random()
                            ? client->random()
                            : DependencyContainer::sharedInstance()->random();
    const SamplingContext samplingContext(context, customSamplingContext);
    const SamplerDecision decision = sampleTrace(samplingContext, *options, *random);

    TransactionContext sampled(context.name(), context.nameSource(), context.operation(),
                               context.origin(), context.traceId(), context.spanId(),
                               context.parentSpanId(), decision.decision, context.parentSampled());
    sampled.setSampleRate(decision.sampleRate);
    sampled.forNextAppLaunch = context.forNextAppLaunch;

    TracerConfiguration tracerConfiguration = configuration;
    tracerConfiguration.profilesSamplerDecision =
        sampleTraceProfile(samplingContext, decision, *options, *random);
    auto tracer = Tracer::make(std::move(sampled), shared_from_this(), tracerConfiguration);
    if (bindToScope) scope()->setSpan(tracer);
    return tracer;
}

void Hub::captureTransaction(const std::shared_ptr<Transaction>& transaction,
                             const std::shared_ptr<Scope>& scope,
                             const Envelope::Items& additionalEnvelopeItems) {
    auto client = getClient();
    if (!client || !transaction) return;
    const bool sampled = transaction->trace && transaction->trace->sampled() == SampleDecision::Yes;
    if (!sampled) {
        client->recordLostEvent(DataCategory::Transaction, DiscardReason::SampleRate);
        client->recordLostEvent(DataCategory::Span, DiscardReason::SampleRate,
                                transaction->spans.size() + 1 + transaction->droppedSpans);
        return;
    }
    if (transaction->droppedSpans > 0)
        client->recordLostEvent(DataCategory::Span, DiscardReason::QueueOverflow,
                                transaction->droppedSpans);
    auto used = scopeOrOwn(scope);
    dispatchQueue_->dispatchAsync([client, transaction, used, additionalEnvelopeItems] {
        client->captureEvent(transaction, used, additionalEnvelopeItems);
    });
}

std::shared_ptr<Span> Hub::getCurrentSpan() {
    return scope()->span();
}

std::shared_ptr<LocalMetricsAggregator> Hub::getLocalMetricsAggregator(
    const std::shared_ptr<Span>& span) {
    auto client = getClient();
    if (!client || !client->options()->enableSpanLocalMetricAggregation) return nullptr;
    auto impl = std::dynamic_pointer_cast<SpanImpl>(span);
    return impl ? impl->getLocalMetricsAggregator() : nullptr;
}

std::shared_ptr<MetricsAPI> Hub::metrics() {
    auto self = weak_from_this().lock();
    return self ? std::shared_ptr<MetricsAPI>(std::move(self), metrics_.get()) : metrics_;
}

bool Hub::waitForQueuedCaptures(double timeoutSeconds) {
    if (!dispatchQueue_ || dispatchQueue_->isCurrentQueue()) return true;
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    dispatchQueue_->dispatchAsync([done] { done->set_value(); });
    return finished.wait_for(std::chrono::duration<double>(std::max(0.0, timeoutSeconds))) ==
           std::future_status::ready;
}

FlushResult Hub::flush(double timeoutSeconds) {
    metrics_->flush();
    auto client = getClient();
    if (!client) return FlushResult::Success;
    // Transactions reach the client through the hub's queue: what is still
    // queued there must be in the client before it flushes.
    const auto started = std::chrono::steady_clock::now();
    if (!waitForQueuedCaptures(timeoutSeconds)) return FlushResult::TimedOut;
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return client->flush(std::max(0.0, timeoutSeconds - spent));
}

void Hub::close() {
    metrics_->close();
    if (auto client = getClient()) {
        waitForQueuedCaptures(client->options()->shutdownTimeInterval);
        client->close();
    }
    SKALD_LOG_DEBUG("Closed the Hub.");
}

}  // namespace skald
