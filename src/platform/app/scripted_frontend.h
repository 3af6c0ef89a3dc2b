#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/app/asio_main_loop.h"
#include "skald/app/frontend.h"

namespace skald::app {

/// One thing the scripted frontend was asked to show.
struct ScriptedEvent {
    enum class Kind {
        WindowShown,    ///< text: title
        TitleChanged,   ///< text: title
        LabelText,      ///< text
        ProgressValue,  ///< value
        Indeterminate,  ///< flag
        Animation,      ///< flag: started (true) or stopped
        AlertShown,     ///< alert, alertIndex
        AlertAnswered,  ///< alertIndex, response
        Terminated,
    };
    Kind kind = Kind::WindowShown;
    std::string text;
    double value = 0;
    bool flag = false;
    AlertRequest alert;  ///< without its window
    size_t alertIndex = 0;
    ModalResponse response = 0;
};

/// An alert the scripted frontend showed, with its answer once given.
struct ScriptedAlert {
    size_t index = 0;  ///< in the order shown, from 0
    AlertRequest request;
    std::optional<ModalResponse> response;
};

/// The frontend for tests: it shows nothing, records everything it was
/// asked to show in a log that any thread may read, and answers alerts from
/// a script. It runs the same main loop as the terminal frontend.
///
/// An alert is answered with, in this order of preference: the next queued
/// response, the responder's answer, or, when neither gives one, its first
/// button (`setAnswersUnscriptedAlerts(false)` leaves it open until
/// `respond`). Answers reach the application asynchronously, after the
/// response delay when one is set.
class ScriptedFrontend final : public Frontend {
  public:
    using Responder = std::function<std::optional<ModalResponse>(const ScriptedAlert&)>;

    ScriptedFrontend();
    ~ScriptedFrontend() override;

    // The script; from any thread.
    void enqueueResponse(ModalResponse response);
    void setResponder(Responder responder);
    void setAnswersUnscriptedAlerts(bool answers);
    void setResponseDelay(Duration delay);
    /// Answers the alert the user would see: the newest open modal alert,
    /// otherwise the oldest open sheet. False when no alert is open.
    bool respond(ModalResponse response);
    /// The user takes the focus away from the application, or gives it back;
    /// the application hears of it on its loop. Nothing happens before the
    /// application runs or after it stopped.
    void loseFocus();
    void regainFocus();

    // The log; from any thread.
    std::vector<ScriptedEvent> events() const;
    std::vector<std::string> labelTexts() const;
    std::vector<double> progressValues() const;
    std::vector<ScriptedAlert> alerts() const;
    size_t openAlertCount() const;
    bool windowShown() const;
    bool terminated() const;
    /// One line per event, for test failure messages.
    std::string describe() const;

    // Frontend
    std::string name() const override { return "scripted"; }
    MainLoop& loop() override { return loop_; }
    void start(FrontendHost& host) override;
    void showWindow(Window& window) override;
    void titleDidChange(Window& window) override;
    void labelDidChange(Window& window) override;
    void progressDidChange(Window& window, ProgressChange change) override;
    void presentAlert(const AlertRequest& request, AlertCompletion completion) override;
    void stop() override;

  private:
    struct OpenAlert {
        bool sheet = false;
        AlertCompletion completion;
    };
    void record(ScriptedEvent event);
    void reportFocus(bool focused);
    void deliver(size_t index, ModalResponse response);

    AsioMainLoop loop_;
    FrontendHost* host_ = nullptr;  // main thread only
    mutable std::mutex mutex_;
    std::vector<ScriptedEvent> events_;
    std::vector<ScriptedAlert> alerts_;
    std::map<size_t, OpenAlert> open_;
    std::deque<ModalResponse> responses_;
    Responder responder_;
    bool answersUnscripted_ = true;
    Duration delay_ = Duration::zero();
    bool stopped_ = false;
};

}  // namespace skald::app
