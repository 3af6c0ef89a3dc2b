#pragma once

#include <functional>
#include <string>
#include <vector>

namespace skald::app {

class Window;

enum class AlertStyle { Warning, Informational, Critical };

/// The answer to an alert: the first button gives 1000, the second 1001 and
/// so on, in the order the buttons were added.
using ModalResponse = long;
inline constexpr ModalResponse kAlertFirstButtonReturn = 1000;
inline constexpr ModalResponse kAlertSecondButtonReturn = 1001;
inline constexpr ModalResponse kAlertThirdButtonReturn = 1002;
/// The alert was ended without an answer: the application terminated, or
/// it could not be shown (no running application, not the main thread).
inline constexpr ModalResponse kModalResponseAbort = -1001;

/// What a frontend shows for one alert.
struct AlertRequest {
    AlertStyle style = AlertStyle::Warning;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  ///< never empty
    /// Attached to `window` instead of application-modal.
    bool sheet = false;
    Window* window = nullptr;

    /// What closing the alert without pressing a button answers (the Escape
    /// key, the dialog's close button, the end of terminal input): the button
    /// titled "Cancel" when there is one, otherwise the first (default) one.
    ModalResponse dismissResponse() const;
};

/// An alert: a message, an optional informative text and buttons.
class Alert {
  public:
    AlertStyle alertStyle() const { return style_; }
    void setAlertStyle(AlertStyle style) { style_ = style; }
    const std::string& messageText() const { return messageText_; }
    void setMessageText(std::string text) { messageText_ = std::move(text); }
    const std::string& informativeText() const { return informativeText_; }
    void setInformativeText(std::string text) { informativeText_ = std::move(text); }

    /// The n-th button added answers 1000 + n. An alert shown without any
    /// button gets a single "OK".
    void addButtonWithTitle(std::string title) { buttons_.push_back(std::move(title)); }
    const std::vector<std::string>& buttons() const { return buttons_; }

    /// Application-modal: shows the alert and returns its response. The
    /// caller waits on the main thread while the main loop keeps running
    /// nested (main-queue blocks, timers, input). Main thread only, while the
    /// application runs; otherwise, or when the application terminates
    /// before an answer, kModalResponseAbort.
    ModalResponse runModal() const;

    /// Shows the alert attached to `window` and returns at once. The
    /// completion runs later on the main loop with the response; it is not
    /// called when the application terminates first. May be called from any
    /// thread (the sheet then opens on the main loop).
    void beginSheetModalForWindow(Window& window,
                                  std::function<void(ModalResponse)> completion) const;

    AlertRequest request(bool sheet, Window* window) const;

  private:
    AlertStyle style_ = AlertStyle::Warning;
    std::string messageText_;
    std::string informativeText_;
    std::vector<std::string> buttons_;
};

}  // namespace skald::app
