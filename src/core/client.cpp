#include "core/client.h"

#include <cxxabi.h>

#include <algorithm>
#include <typeinfo>

#include "core/debug_image_provider.h"
#include "core/dependency_container.h"
#include "core/extra_context_provider.h"
#include "core/global_event_processor.h"
#include "core/installation.h"
#include "core/sdk_state.h"
#include "core/thread_inspector.h"
#include "core/tracing/tracer.h"
#include "core/tracing/transaction.h"
#include "core/transport_factory.h"
#include "persistence/file_manager.h"
#include "platform/system/locale.h"
#include "skald/dsn.h"
#include "skald/hub.h"
#include "skald/mechanism.h"
#include "skald/message.h"
#include "skald/ns_error.h"
#include "skald/platform/bundle.h"
#include "skald/scope.h"
#include "skald/session.h"
#include "skald/span.h"
#include "skald/user_feedback.h"
#include "transport/transport_adapter.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/json_bytes.h"
#include "util/log.h"
#include "util/meta.h"
#include "util/random.h"
#include "util/sanitize.h"

namespace skald {

namespace {

constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
constexpr const char* kDebugDescriptionKey = "NSDebugDescription";

bool isTransactionEvent(const Event& event) {
    return event.type == "transaction";
}
bool isReplayEvent(const Event& event) {
    return event.type == "replay_video";
}

uint64_t spanCountOf(const Event& event) {
    const auto* transaction = dynamic_cast<const Transaction*>(&event);
    return transaction ? transaction->spans.size() : 0;
}

bool isWatchdogTermination(const Event& event) {
    return event.exceptions.size() == 1 && event.exceptions[0] && event.exceptions[0]->mechanism &&
           event.exceptions[0]->mechanism->type == "watchdog_termination";
}

std::shared_ptr<Scope> emptyScope() {
    return std::make_shared<Scope>();
}

// The client has no hub to fall back to: without a scope nothing is applied.
std::shared_ptr<Scope> scopeOrEmpty(const std::shared_ptr<Scope>& scope) {
    return scope ? scope : emptyScope();
}

// Chains are made by the host; one that loops back must still end.
constexpr size_t kMaxErrorChainLength = 32;

// Adds the user info to the event's contexts, only when there is some.
void setUserInfo(const Json& userInfo, Event& event) {
    if (!userInfo.is_object() || userInfo.empty()) return;
    auto sanitized = sanitizeDictionary(userInfo);
    if (!sanitized) return;
    if (!event.context || !event.context->is_object()) event.context = Json::object();
    (*event.context)["user_info"] = std::move(*sanitized);
}

std::shared_ptr<Exception> exceptionForError(const Error& error) {
    auto exception = std::make_shared<Exception>(exceptionValueForError(error), error.domain);
    auto mechanism = std::make_shared<Mechanism>("NSError");
    mechanism->meta = std::make_shared<MechanismMeta>();
    mechanism->meta->error = std::make_shared<NSError>(error.domain, error.code);
    mechanism->desc = error.description();
    mechanism->data = sanitizeDictionary(error.userInfo);
    exception->mechanism = std::move(mechanism);
    return exception;
}

// Reads one context of the event, lets `change` edit a copy and writes it back.
void changeContext(Event& event, const char* name, const std::function<void(Json&)>& change) {
    Json context = Json::object();
    auto it = event.context->find(name);
    if (it != event.context->end() && it->is_object()) context = *it;
    change(context);
    (*event.context)[name] = std::move(context);
}

}  // namespace

std::string exceptionValueForError(const Error& error) {
    char buffer[64];
    const auto debugDescription = error.userInfo.is_object()
                                      ? error.userInfo.find(kDebugDescriptionKey)
                                      : error.userInfo.end();
    if (error.userInfo.is_object() && debugDescription != error.userInfo.end() &&
        debugDescription->is_string()) {
        snprintf(buffer, sizeof buffer, " (Code: %lld)", static_cast<long long>(error.code));
        return debugDescription->get<std::string>() + buffer;
    }
    snprintf(buffer, sizeof buffer, "Code: %lld", static_cast<long long>(error.code));
    return buffer;
}

ExceptionObject ExceptionObject::fromStdException(const std::exception& exception) {
    const char* mangled = typeid(exception).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    ExceptionObject object{status == 0 && demangled ? demangled : mangled, exception.what(),
                           Json::object()};
    free(demangled);
    return object;
}

// --- Construction ---------------------------------------------------------------

std::shared_ptr<Client> Client::make(std::shared_ptr<Options> options) {
    return make(std::move(options), std::make_shared<DispatchQueueWrapper>(), true);
}

std::shared_ptr<Client> Client::make(std::shared_ptr<Options> options,
                                     std::shared_ptr<DispatchQueueWrapper> dispatchQueue,
                                     bool deleteOldEnvelopeItems) {
    if (!options) return nullptr;
    Error error;
    auto fileManager = FileManager::make(*options, dispatchQueue, &error);
    if (!fileManager) {
        SKALD_LOG_ERROR("Cannot init filesystem.");
        return nullptr;
    }
    auto container = DependencyContainer::sharedInstance();
    auto transports =
        TransportFactory::initTransports(options, fileManager, container->dateProvider());
    auto adapter = std::make_shared<TransportAdapter>(std::move(transports), options);
    return std::make_shared<Client>(options, std::move(adapter), std::move(fileManager),
                                    deleteOldEnvelopeItems,
                                    std::make_shared<ThreadInspector>(*options),
                                    container->debugImageProvider(), container->random());
}

Client::Client(std::shared_ptr<Options> options, std::shared_ptr<TransportAdapter> transportAdapter,
               std::shared_ptr<FileManager> fileManager, bool deleteOldEnvelopeItems,
               std::shared_ptr<ThreadInspector> threadInspector,
               std::shared_ptr<DebugImageProvider> debugImageProvider,
               std::shared_ptr<Random> random)
    : options_(std::move(options)),
      transportAdapter_(std::move(transportAdapter)),
      fileManager_(std::move(fileManager)),
      threadInspector_(std::move(threadInspector)),
      debugImageProvider_(std::move(debugImageProvider)),
      random_(std::move(random)) {
    Installation::cacheIdAsync(options_->cacheDirectoryPath);
    if (deleteOldEnvelopeItems && fileManager_) fileManager_->deleteOldEnvelopeItems();
}

Client::~Client() = default;

// --- Capture ----------------------------------------------------------------------

Id Client::captureEvent(std::shared_ptr<Event> event) {
    return captureEvent(std::move(event), emptyScope());
}

Id Client::captureEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope,
                        const Envelope::Items& additionalEnvelopeItems) {
    return sendEvent(std::move(event), scope, false, false, additionalEnvelopeItems);
}

Id Client::captureMessage(const std::string& message) {
    return captureMessage(message, emptyScope());
}

Id Client::captureMessage(const std::string& message, const std::shared_ptr<Scope>& scope) {
    auto event = std::make_shared<Event>(Level::Info);
    event->message = std::make_shared<Message>(message);
    return sendEvent(std::move(event), scope, false, false);
}

Id Client::captureError(const Error& error) {
    return captureError(error, emptyScope());
}

Id Client::captureError(const Error& error, const std::shared_ptr<Scope>& scope) {
    return sendEvent(buildErrorEvent(error), scope, true, false);
}

Id Client::captureError(const Error& error, const std::shared_ptr<Scope>& scope,
                        const IncrementSessionErrors& incrementSessionErrors) {
    return captureCounted(buildErrorEvent(error), scope, incrementSessionErrors);
}

Id Client::captureException(const ExceptionObject& exception) {
    return captureException(exception, emptyScope());
}

Id Client::captureException(const ExceptionObject& exception, const std::shared_ptr<Scope>& scope) {
    return sendEvent(buildExceptionEvent(exception), scope, true, false);
}

Id Client::captureException(const ExceptionObject& exception, const std::shared_ptr<Scope>& scope,
                            const IncrementSessionErrors& incrementSessionErrors) {
    return captureCounted(buildExceptionEvent(exception), scope, incrementSessionErrors);
}

Id Client::captureCounted(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope,
                          const IncrementSessionErrors& incrementSessionErrors) {
    auto prepared = prepareEvent(std::move(event), scope, true, false);
    if (!prepared) return Id::empty();
    // The error counts in the session only once it is certain to be sent.
    auto session = incrementSessionErrors ? incrementSessionErrors() : nullptr;
    if (!session) {
        return sendEvent(prepared, std::shared_ptr<Session>(), scope);
    }
    return sendEvent(prepared, session, scope);
}

Id Client::captureCrashEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope) {
    return sendEvent(std::move(event), scope, false, true);
}

Id Client::captureCrashEvent(std::shared_ptr<Event> event, const std::shared_ptr<Session>& session,
                             const std::shared_ptr<Scope>& scope) {
    auto prepared = prepareEvent(std::move(event), scope, false, true);
    return sendEvent(prepared, session, scope);
}

void Client::captureSession(const std::shared_ptr<Session>& session) {
    if (!session) return;
    if (!isEnabled()) {
        SKALD_LOG_DEBUG("SDK disabled or no DSN set. Won't do anyting.");
        return;
    }
    const auto release = session->releaseName();
    if (!release || release->empty()) {
        SKALD_LOG_DEBUG("Session has no release name. Won't send it.");
        return;
    }
    Envelope::Items items;
    if (auto item = EnvelopeItem::forSession(*session)) items.push_back(std::move(item));
    captureEnvelope(std::make_shared<Envelope>(EnvelopeHeader::empty(), std::move(items)));
}

void Client::captureUserFeedback(const UserFeedback& feedback) {
    if (!isEnabled()) {
        SKALD_LOG_DEBUG("SDK disabled or no DSN set. Won't do anyting.");
        return;
    }
    if (feedback.eventId == Id::empty()) {
        SKALD_LOG_DEBUG("Capturing UserFeedback with an empty event id. Won't send it.");
        return;
    }
    transportAdapter_->sendUserFeedback(feedback);
}

void Client::captureEnvelope(const std::shared_ptr<Envelope>& envelope) {
    if (!isEnabled()) {
        SKALD_LOG_DEBUG("SDK disabled or no DSN set. Won't do anyting.");
        return;
    }
    transportAdapter_->sendEnvelope(envelope);
}

void Client::storeEnvelope(const std::shared_ptr<Envelope>& envelope) {
    if (envelope && fileManager_) fileManager_->storeEnvelope(*envelope);
}

// --- Building events ----------------------------------------------------------------

std::shared_ptr<Event> Client::buildErrorEvent(const Error& error) const {
    auto event = std::make_shared<Event>(error);

    std::vector<const Error*> chain{&error};
    while (chain.size() < kMaxErrorChainLength) {
        const Error* last = chain.back();
        if (last->underlyingError) {
            const Error* next = last->underlyingError.get();
            if (std::find(chain.begin(), chain.end(), next) != chain.end()) break;
            chain.push_back(next);
            continue;
        }
        // An underlying error only given in the user info is not an error object.
        if (last->userInfo.is_object()) {
            auto value = last->userInfo.find(kUnderlyingErrorKey);
            if (value != last->userInfo.end()) {
                SKALD_LOG_WARNING(
                    "Invalid value for NSUnderlyingErrorKey in user info. Data at key: %s. "
                    "Class type: %s.",
                    describeJson(*value).c_str(), value->type_name());
            }
        }
        break;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        event->exceptions.push_back(exceptionForError(**it));
    }
    setUserInfo(error.userInfo, *event);
    return event;
}

std::shared_ptr<Event> Client::buildExceptionEvent(const ExceptionObject& exception) const {
    auto event = std::make_shared<Event>(Level::Error);
    event->exceptions.push_back(std::make_shared<Exception>(exception.reason, exception.name));
    setUserInfo(exception.userInfo, *event);
    return event;
}

// --- Sending ------------------------------------------------------------------------

Id Client::sendEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& givenScope,
                     bool alwaysAttachStacktrace, bool isCrashEvent,
                     const Envelope::Items& additionalEnvelopeItems) {
    const auto scope = scopeOrEmpty(givenScope);
    auto prepared = prepareEvent(std::move(event), scope, alwaysAttachStacktrace, isCrashEvent);
    if (!prepared) return Id::empty();
    auto traceContext = traceContextFor(*prepared, *scope);
    auto attachments = processedAttachments(*scope, *prepared);
    transportAdapter_->sendEvent(*prepared, traceContext, attachments, additionalEnvelopeItems);
    return prepared->eventId;
}

Id Client::sendEvent(const std::shared_ptr<Event>& event, const std::shared_ptr<Session>& session,
                     const std::shared_ptr<Scope>& givenScope) {
    if (!event) return Id::empty();
    const auto scope = scopeOrEmpty(givenScope);
    auto attachments = processedAttachments(*scope, *event);
    if (event->isCrashEvent && event->context && event->context->is_object()) {
        auto replay = event->context->find("replay");
        const auto replayId = scope->replayId();
        if (replay != event->context->end() && replay->is_object() && replayId) {
            (*replay)["replay_id"] = *replayId;
        }
    }
    auto traceContext = traceContextFor(*event, *scope);
    const auto release = session ? session->releaseName() : std::nullopt;
    if (session && release && !release->empty()) {
        transportAdapter_->sendEvent(*event, *session, traceContext, attachments);
    } else {
        if (session) SKALD_LOG_DEBUG("Session has no release name. Won't send it.");
        transportAdapter_->sendEvent(*event, traceContext, attachments);
    }
    return event->eventId;
}

std::optional<TraceContext> Client::traceContextFor(const Event& event, const Scope& scope) const {
    std::shared_ptr<Tracer> tracer;
    if (const auto* transaction = dynamic_cast<const Transaction*>(&event)) {
        tracer = transaction->trace;
    } else {
        tracer = Tracer::getTracer(scope.span());
    }
    if (tracer) return Tracer::makeTraceContext(*tracer, &scope, *options_);
    if (event.error || !event.exceptions.empty())
        return Tracer::makePropagationTraceContext(scope, *options_);
    return std::nullopt;
}

std::vector<Attachment> Client::processedAttachments(const Scope& scope, const Event& event) {
    auto attachments = scope.attachments();
    std::vector<std::shared_ptr<AttachmentProcessor>> processors;
    {
        std::lock_guard guard(mutex_);
        processors = attachmentProcessors_;
    }
    for (const auto& processor : processors) {
        attachments = processor->processAttachments(std::move(attachments), event);
    }
    return attachments;
}

// --- Preparation ----------------------------------------------------------------------

Json Client::sdkInformation(const Event& event) const {
    Json sdk = Json::object();
    sdk["name"] = Meta::sdkName();
    sdk["version"] = Meta::versionString();
    Json integrations = Json::array();
    bool fromExtra = false;
    if (event.extra && event.extra->is_object()) {
        auto it = event.extra->find("__skald_sdk_integrations");
        if (it != event.extra->end()) {
            integrations = *it;
            fromExtra = true;
        }
    }
    if (!fromExtra) {
        for (const auto& name : Hub::trimmedInstalledIntegrationNames())
            integrations.push_back(name);
    }
    sdk["integrations"] = std::move(integrations);
    Json features = Json::array();
    if (options_->enableCaptureFailedRequests) features.push_back("captureFailedRequests");
    if (options_->enablePerformanceV2) features.push_back("performanceV2");
    if (options_->enableTimeToFullDisplayTracing) features.push_back("timeToFullDisplayTracing");
    if (options_->enableAppLaunchProfiling) features.push_back("appLaunchProfiling");
    if (options_->swiftAsyncStacktraces) features.push_back("swiftAsyncStacktraces");
    if (options_->enableMetrics) features.push_back("metrics");
    sdk["features"] = std::move(features);
    return sdk;
}

void Client::applyDeviceContexts(Event& event, bool isCrashEvent) const {
    if (!event.context || !event.context->is_object() || event.context->empty()) return;
    if (isCrashEvent) {
        if (!isWatchdogTermination(event)) return;
        changeContext(event, "device", [](Json& device) {
            for (const char* key : {"free_memory", "orientation", "charging", "battery_level"})
                device.erase(key);
        });
        changeContext(event, "app", [](Json& app) { app.erase("app_memory"); });
        return;
    }
    auto provider = DependencyContainer::sharedInstance()->extraContextProvider();
    const Json extra = provider ? provider->getExtraContext() : Json::object();
    for (const char* name : {"device", "app"}) {
        auto values = extra.find(name);
        if (values == extra.end() || !values->is_object()) continue;
        changeContext(event, name, [&](Json& context) {
            for (auto& [key, value] : values->items()) context[key] = value;
        });
    }
    (*event.context)["culture"] = platform::cultureContext();
}

std::shared_ptr<Event> Client::callEventProcessors(std::shared_ptr<Event> event,
                                                   bool isTransaction) {
    for (const auto& processor : GlobalEventProcessor::shared().processors()) {
        const uint64_t spans = spanCountOf(*event);
        event = processor(std::move(event));
        if (!event) {
            SKALD_LOG_DEBUG(
                "SkaldScope callEventProcessors: An event processor decided to remove this "
                "event.");
            recordLostEvent(isTransaction ? DataCategory::Transaction : DataCategory::Error,
                            DiscardReason::EventProcessor);
            if (isTransaction)
                recordLostEvent(DataCategory::Span, DiscardReason::EventProcessor, spans + 1);
            return nullptr;
        }
    }
    return event;
}

std::shared_ptr<Event> Client::prepareEvent(std::shared_ptr<Event> event,
                                            const std::shared_ptr<Scope>& scope,
                                            bool alwaysAttachStacktrace, bool isCrashEvent) {
    if (!event) {
        SKALD_LOG_DEBUG("Nothing to capture: the event is null.");
        return nullptr;
    }
    if (!isEnabled() || !options_->enabled || !options_->parsedDsn) {
        SKALD_LOG_DEBUG("SDK disabled or no DSN set. Won't do anyting.");
        return nullptr;
    }
    const bool isTransaction = isTransactionEvent(*event);
    const bool isReplay = isReplayEvent(*event);
    const bool isError = !isTransaction && !isReplay;

    if (isError && options_->sampleRate()) {
        if (random_->nextNumber() > *options_->sampleRate()) {
            SKALD_LOG_DEBUG("Event got sampled, will not send the event");
            recordLostEvent(DataCategory::Error, DiscardReason::SampleRate);
            return nullptr;
        }
    }

    if (!event->dist) {
        auto bundle = platform::Bundle::main();
        const auto& info = bundle ? bundle->infoDictionary() : std::nullopt;
        if (info && info->is_object()) {
            auto version = info->find("CFBundleVersion");
            if (version != info->end() && version->is_string())
                event->dist = version->get<std::string>();
        }
    }
    if (!event->releaseName && options_->releaseName) event->releaseName = options_->releaseName;
    if (options_->dist) event->dist = options_->dist;
    if (!event->sdk) event->sdk = sdkInformation(*event);

    if (isError) {
        const bool wantsStacktrace =
            alwaysAttachStacktrace || options_->attachStacktrace || !event->exceptions.empty();
        if (wantsStacktrace && !isCrashEvent) {
            if (event->threads.empty()) event->threads = threadInspector_->getCurrentThreads();
            if (event->debugMeta.empty() && !event->threads.empty()) {
                event->debugMeta =
                    debugImageProvider_->getDebugImagesForThreads(event->threads, false);
            }
        }
    }

    if (scope) event = scope->applyToEvent(std::move(event), options_->maxBreadcrumbs);
    if (!event) return nullptr;
    if (isReplay) event->breadcrumbs.clear();

    applyDeviceContexts(*event, isCrashEvent);

    if (!event->environment) event->environment = options_->environment;
    if (!event->user) {
        event->user = std::make_shared<User>(Installation::id(options_->cacheDirectoryPath));
    }
    if (options_->sendDefaultPii && !event->user->ipAddress()) {
        event->user->setIpAddress("{{auto}}");
    }

    event = callEventProcessors(std::move(event), isTransaction);
    if (!event) return nullptr;

    if (isTransaction && options_->beforeSendSpan) {
        if (auto* transaction = dynamic_cast<Transaction*>(event.get())) {
            std::vector<std::shared_ptr<Span>> kept;
            for (auto& span : transaction->spans) {
                if (auto processed = options_->beforeSendSpan(span)) kept.push_back(processed);
            }
            const uint64_t removed = transaction->spans.size() - kept.size();
            transaction->spans = std::move(kept);
            if (removed > 0)
                recordLostEvent(DataCategory::Span, DiscardReason::BeforeSend, removed);
        }
    }

    if (options_->beforeSend) {
        const uint64_t spans = spanCountOf(*event);
        event = options_->beforeSend(std::move(event));
        if (!event) {
            recordLostEvent(isTransaction ? DataCategory::Transaction : DataCategory::Error,
                            DiscardReason::BeforeSend);
            if (isTransaction)
                recordLostEvent(DataCategory::Span, DiscardReason::BeforeSend, spans + 1);
            return nullptr;
        }
    }

    if (isCrashEvent && options_->onCrashedLastRun && SdkState::markCrashedLastRunCalled()) {
        options_->onCrashedLastRun(event);
    }
    return event;
}

void Client::recordLostEvent(DataCategory category, DiscardReason reason, uint64_t quantity) {
    transportAdapter_->recordLostEvent(category, reason, quantity);
}

void Client::addAttachmentProcessor(std::shared_ptr<AttachmentProcessor> processor) {
    std::lock_guard guard(mutex_);
    attachmentProcessors_.push_back(std::move(processor));
}

void Client::removeAttachmentProcessor(const std::shared_ptr<AttachmentProcessor>& processor) {
    std::lock_guard guard(mutex_);
    std::erase(attachmentProcessors_, processor);
}

FlushResult Client::flush(double timeoutSeconds) {
    return transportAdapter_->flush(timeoutSeconds);
}

void Client::close() {
    enabled_ = false;
    flush(options_->shutdownTimeInterval);
    SKALD_LOG_DEBUG("Closed the Client.");
}

}  // namespace skald
