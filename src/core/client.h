#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/data_category.h"
#include "platform/process/process_exit.h"
#include "skald/attachment.h"
#include "skald/envelope.h"
#include "skald/error.h"
#include "skald/event.h"
#include "skald/exception_object.h"
#include "skald/id.h"
#include "skald/options.h"
#include "skald/trace_context.h"
#include "transport/transport.h"

namespace skald {

class DebugImageProvider;
class DispatchQueueWrapper;
class FileManager;
class Random;
class Scope;
class Session;
class ThreadInspector;
class TransportAdapter;
class UserFeedback;

/// Changes the attachments of an event before it is sent.
class AttachmentProcessor {
  public:
    virtual ~AttachmentProcessor() = default;
    virtual std::vector<Attachment> processAttachments(std::vector<Attachment> attachments,
                                                       const Event& event) = 0;
};

/// Gives the session the error was counted in, or null.
using IncrementSessionErrors = std::function<std::shared_ptr<Session>()>;

/// Turns what the hub hands it into prepared events and envelopes for the
/// transports. Capture may be called on any thread; preparation runs on the
/// caller's. A null scope applies nothing, like an empty one.
class Client {
  public:
    /// Null when the file manager cannot be set up ("Cannot init filesystem.").
    static std::shared_ptr<Client> make(std::shared_ptr<Options> options);
    static std::shared_ptr<Client> make(std::shared_ptr<Options> options,
                                        std::shared_ptr<DispatchQueueWrapper> dispatchQueue,
                                        bool deleteOldEnvelopeItems);
    /// Everything injected; used by the other factories and by tests.
    Client(std::shared_ptr<Options> options, std::shared_ptr<TransportAdapter> transportAdapter,
           std::shared_ptr<FileManager> fileManager, bool deleteOldEnvelopeItems,
           std::shared_ptr<ThreadInspector> threadInspector,
           std::shared_ptr<DebugImageProvider> debugImageProvider, std::shared_ptr<Random> random);
    ~Client();

    Id captureEvent(std::shared_ptr<Event> event);
    Id captureEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope,
                    const Envelope::Items& additionalEnvelopeItems = {});
    Id captureMessage(const std::string& message);
    Id captureMessage(const std::string& message, const std::shared_ptr<Scope>& scope);
    Id captureError(const Error& error);
    Id captureError(const Error& error, const std::shared_ptr<Scope>& scope);
    Id captureError(const Error& error, const std::shared_ptr<Scope>& scope,
                    const IncrementSessionErrors& incrementSessionErrors);
    Id captureException(const ExceptionObject& exception);
    Id captureException(const ExceptionObject& exception, const std::shared_ptr<Scope>& scope);
    Id captureException(const ExceptionObject& exception, const std::shared_ptr<Scope>& scope,
                        const IncrementSessionErrors& incrementSessionErrors);
    Id captureCrashEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope);
    Id captureCrashEvent(std::shared_ptr<Event> event, const std::shared_ptr<Session>& session,
                         const std::shared_ptr<Scope>& scope);
    void captureSession(const std::shared_ptr<Session>& session);
    void captureUserFeedback(const UserFeedback& feedback);
    void captureEnvelope(const std::shared_ptr<Envelope>& envelope);
    void storeEnvelope(const std::shared_ptr<Envelope>& envelope);

    /// The event to send, or null when it is dropped (each drop is recorded).
    std::shared_ptr<Event> prepareEvent(std::shared_ptr<Event> event,
                                        const std::shared_ptr<Scope>& scope,
                                        bool alwaysAttachStacktrace, bool isCrashEvent = false);

    void recordLostEvent(DataCategory category, DiscardReason reason, uint64_t quantity = 1);

    void addAttachmentProcessor(std::shared_ptr<AttachmentProcessor> processor);
    void removeAttachmentProcessor(const std::shared_ptr<AttachmentProcessor>& processor);

    FlushResult flush(double timeoutSeconds);
    void close();
    /// False once closed, and once the process has closed its exit gate:
    /// captures then would use libraries that exit tears down.
    bool isEnabled() const { return enabled_.load() && !platform::ProcessExit::isClosed(); }

    /// The live options: the host may still read them through the wrapper interface.
    const std::shared_ptr<Options>& options() const { return options_; }
    const std::shared_ptr<Random>& random() const { return random_; }
    const std::shared_ptr<FileManager>& fileManager() const { return fileManager_; }
    const std::shared_ptr<TransportAdapter>& transportAdapter() const { return transportAdapter_; }
    const std::shared_ptr<ThreadInspector>& threadInspector() const { return threadInspector_; }

  private:
    Id sendEvent(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope,
                 bool alwaysAttachStacktrace, bool isCrashEvent,
                 const Envelope::Items& additionalEnvelopeItems = {});
    Id sendEvent(const std::shared_ptr<Event>& event, const std::shared_ptr<Session>& session,
                 const std::shared_ptr<Scope>& scope);
    Id captureCounted(std::shared_ptr<Event> event, const std::shared_ptr<Scope>& scope,
                      const IncrementSessionErrors& incrementSessionErrors);
    std::optional<TraceContext> traceContextFor(const Event& event, const Scope& scope) const;
    std::vector<Attachment> processedAttachments(const Scope& scope, const Event& event);
    std::shared_ptr<Event> buildErrorEvent(const Error& error) const;
    std::shared_ptr<Event> buildExceptionEvent(const ExceptionObject& exception) const;
    Json sdkInformation(const Event& event) const;
    void applyDeviceContexts(Event& event, bool isCrashEvent) const;
    std::shared_ptr<Event> callEventProcessors(std::shared_ptr<Event> event, bool isTransaction);

    std::atomic<bool> enabled_{true};
    std::shared_ptr<Options> options_;
    std::shared_ptr<TransportAdapter> transportAdapter_;
    std::shared_ptr<FileManager> fileManager_;
    std::shared_ptr<ThreadInspector> threadInspector_;
    std::shared_ptr<DebugImageProvider> debugImageProvider_;
    std::shared_ptr<Random> random_;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<AttachmentProcessor>> attachmentProcessors_;
};

/// "Code: <code>" or "<description> (Code: <code>)": the value of an error's exception.
std::string exceptionValueForError(const Error& error);

}  // namespace skald
