#include "platform/app/scripted_frontend.h"

#include <sstream>

namespace skald::app {

ScriptedFrontend::ScriptedFrontend() = default;
ScriptedFrontend::~ScriptedFrontend() = default;

void ScriptedFrontend::enqueueResponse(ModalResponse response) {
    std::lock_guard guard(mutex_);
    responses_.push_back(response);
}

void ScriptedFrontend::setResponder(Responder responder) {
    std::lock_guard guard(mutex_);
    responder_ = std::move(responder);
}

void ScriptedFrontend::setAnswersUnscriptedAlerts(bool answers) {
    std::lock_guard guard(mutex_);
    answersUnscripted_ = answers;
}

void ScriptedFrontend::setResponseDelay(Duration delay) {
    std::lock_guard guard(mutex_);
    delay_ = delay;
}

bool ScriptedFrontend::respond(ModalResponse response) {
    std::optional<size_t> target;
    {
        std::lock_guard guard(mutex_);
        for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
            if (!it->second.sheet) {
                target = it->first;
                break;
            }
        }
        if (!target && !open_.empty()) target = open_.begin()->first;
    }
    if (!target) return false;
    loop_.post([this, index = *target, response] { deliver(index, response); });
    return true;
}

std::vector<ScriptedEvent> ScriptedFrontend::events() const {
    std::lock_guard guard(mutex_);
    return events_;
}

std::vector<std::string> ScriptedFrontend::labelTexts() const {
    std::lock_guard guard(mutex_);
    std::vector<std::string> texts;
    for (const auto& event : events_) {
        if (event.kind == ScriptedEvent::Kind::LabelText) texts.push_back(event.text);
    }
    return texts;
}

std::vector<double> ScriptedFrontend::progressValues() const {
    std::lock_guard guard(mutex_);
    std::vector<double> values;
    for (const auto& event : events_) {
        if (event.kind == ScriptedEvent::Kind::ProgressValue) values.push_back(event.value);
    }
    return values;
}

std::vector<ScriptedAlert> ScriptedFrontend::alerts() const {
    std::lock_guard guard(mutex_);
    return alerts_;
}

size_t ScriptedFrontend::openAlertCount() const {
    std::lock_guard guard(mutex_);
    return open_.size();
}

bool ScriptedFrontend::windowShown() const {
    std::lock_guard guard(mutex_);
    for (const auto& event : events_) {
        if (event.kind == ScriptedEvent::Kind::WindowShown) return true;
    }
    return false;
}

bool ScriptedFrontend::terminated() const {
    std::lock_guard guard(mutex_);
    return stopped_;
}

std::string ScriptedFrontend::describe() const {
    std::ostringstream out;
    for (const auto& event : events()) {
        using Kind = ScriptedEvent::Kind;
        switch (event.kind) {
            case Kind::WindowShown:
                out << "window shown \"" << event.text << "\"";
                break;
            case Kind::TitleChanged:
                out << "title \"" << event.text << "\"";
                break;
            case Kind::LabelText:
                out << "label \"" << event.text << "\"";
                break;
            case Kind::ProgressValue:
                out << "progress " << event.value;
                break;
            case Kind::Indeterminate:
                out << "indeterminate " << event.flag;
                break;
            case Kind::Animation:
                out << "animation " << event.flag;
                break;
            case Kind::AlertShown:
                out << (event.alert.sheet ? "sheet #" : "modal #") << event.alertIndex << " \""
                    << event.alert.messageText << "\"";
                break;
            case Kind::AlertAnswered:
                out << "alert #" << event.alertIndex << " answered " << event.response;
                break;
            case Kind::Terminated:
                out << "terminated";
                break;
        }
        out << '\n';
    }
    return out.str();
}

void ScriptedFrontend::start(FrontendHost& host) {
    host_ = &host;
}

void ScriptedFrontend::loseFocus() {
    reportFocus(false);
}

void ScriptedFrontend::regainFocus() {
    reportFocus(true);
}

void ScriptedFrontend::reportFocus(bool focused) {
    loop_.post([this, focused] {
        {
            std::lock_guard guard(mutex_);
            if (stopped_ || host_ == nullptr) return;
        }
        if (focused) {
            host_->frontendDidBecomeActive();
        } else {
            host_->frontendWillResignActive();
        }
    });
}

void ScriptedFrontend::record(ScriptedEvent event) {
    std::lock_guard guard(mutex_);
    if (stopped_) return;
    events_.push_back(std::move(event));
}

void ScriptedFrontend::showWindow(Window& window) {
    ScriptedEvent event;
    event.kind = ScriptedEvent::Kind::WindowShown;
    event.text = window.title();
    record(std::move(event));
}

void ScriptedFrontend::titleDidChange(Window& window) {
    ScriptedEvent event;
    event.kind = ScriptedEvent::Kind::TitleChanged;
    event.text = window.title();
    record(std::move(event));
}

void ScriptedFrontend::labelDidChange(Window& window) {
    ScriptedEvent event;
    event.kind = ScriptedEvent::Kind::LabelText;
    event.text = window.label().text();
    record(std::move(event));
}

void ScriptedFrontend::progressDidChange(Window& window, ProgressChange change) {
    const ProgressState& state = window.progressIndicator().state();
    ScriptedEvent event;
    switch (change) {
        case ProgressChange::Value:
            event.kind = ScriptedEvent::Kind::ProgressValue;
            event.value = state.value;
            break;
        case ProgressChange::Indeterminate:
            event.kind = ScriptedEvent::Kind::Indeterminate;
            event.flag = state.indeterminate;
            break;
        case ProgressChange::Animation:
            event.kind = ScriptedEvent::Kind::Animation;
            event.flag = state.animating;
            break;
    }
    record(std::move(event));
}

void ScriptedFrontend::presentAlert(const AlertRequest& request, AlertCompletion completion) {
    ScriptedAlert alert;
    Responder responder;
    std::optional<ModalResponse> answer;
    Duration delay;
    {
        std::lock_guard guard(mutex_);
        if (stopped_) return;
        alert.index = alerts_.size();
        alert.request = request;
        alert.request.window = nullptr;
        alerts_.push_back(alert);
        open_[alert.index] = OpenAlert{request.sheet, std::move(completion)};

        ScriptedEvent event;
        event.kind = ScriptedEvent::Kind::AlertShown;
        event.alert = alert.request;
        event.alertIndex = alert.index;
        events_.push_back(std::move(event));

        if (!responses_.empty()) {
            answer = responses_.front();
            responses_.pop_front();
        } else {
            responder = responder_;
        }
        delay = delay_;
    }
    // The responder is test code: called outside the lock.
    if (!answer && responder) answer = responder(alert);
    if (!answer) {
        std::lock_guard guard(mutex_);
        if (answersUnscripted_) answer = kAlertFirstButtonReturn;
    }
    if (!answer) return;

    auto deliverAnswer = [this, index = alert.index, response = *answer] {
        deliver(index, response);
    };
    if (delay > Duration::zero()) {
        loop_.scheduleTimer(delay, false, std::move(deliverAnswer));
    } else {
        loop_.post(std::move(deliverAnswer));
    }
}

void ScriptedFrontend::deliver(size_t index, ModalResponse response) {
    AlertCompletion completion;
    {
        std::lock_guard guard(mutex_);
        auto it = open_.find(index);
        if (it == open_.end()) return;  // answered already, or stopped
        completion = std::move(it->second.completion);
        open_.erase(it);
        alerts_[index].response = response;

        ScriptedEvent event;
        event.kind = ScriptedEvent::Kind::AlertAnswered;
        event.alertIndex = index;
        event.response = response;
        events_.push_back(std::move(event));
    }
    if (completion) completion(response);
}

void ScriptedFrontend::stop() {
    std::map<size_t, OpenAlert> open;
    {
        std::lock_guard guard(mutex_);
        if (stopped_) return;
        ScriptedEvent event;
        event.kind = ScriptedEvent::Kind::Terminated;
        events_.push_back(std::move(event));
        stopped_ = true;
        open.swap(open_);
    }
}

}  // namespace skald::app
