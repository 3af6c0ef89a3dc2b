#pragma once

#include <memory>
#include <string>

namespace skald::app {

class Frontend;
class Window;

/// One line of status text in a window.
///
/// Like every view, it belongs to the main thread; a change made on another
/// thread is forwarded to the main queue and shows once the loop runs it.
class Label {
  public:
    explicit Label(Window& window) : window_(window) {}
    Label(const Label&) = delete;
    Label& operator=(const Label&) = delete;

    const std::string& text() const { return text_; }
    void setText(std::string text);

  private:
    Window& window_;
    std::string text_;
};

/// What a progress indicator shows.
struct ProgressState {
    double value = 0;  ///< 0 to 100
    bool indeterminate = false;
    bool animating = false;
};

enum class ProgressChange { Value, Indeterminate, Animation };

/// A progress bar from 0 to 100. An indeterminate bar shows activity
/// without a value, moving only while it animates. Main thread, like `Label`.
class ProgressIndicator {
  public:
    static constexpr double kMinValue = 0;
    static constexpr double kMaxValue = 100;

    explicit ProgressIndicator(Window& window) : window_(window) {}
    ProgressIndicator(const ProgressIndicator&) = delete;
    ProgressIndicator& operator=(const ProgressIndicator&) = delete;

    double doubleValue() const { return state_.value; }
    /// Clamped to 0...100; a NaN is ignored.
    void setDoubleValue(double value);
    bool isIndeterminate() const { return state_.indeterminate; }
    void setIndeterminate(bool indeterminate);
    bool isAnimating() const { return state_.animating; }
    void startAnimation();
    void stopAnimation();

    const ProgressState& state() const { return state_; }

  private:
    void setAnimating(bool animating);

    Window& window_;
    ProgressState state_;
};

/// The controller of a window's content. `viewDidLoad` runs once, on the
/// main thread, when the application loads the window at launch.
class ViewController {
  public:
    virtual ~ViewController() = default;
    virtual void viewDidLoad() {}

    /// The window whose content this controller manages; null until loaded.
    Window* window() const { return window_; }
    bool isViewLoaded() const { return window_ != nullptr; }

  private:
    friend class Window;
    Window* window_ = nullptr;
};

/// The application's window: a title, a status label and a progress bar,
/// and the controller of its content. The application shows it at launch.
class Window {
  public:
    Window();
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    const std::string& title() const { return title_; }
    void setTitle(std::string title);

    Label& label() { return label_; }
    const Label& label() const { return label_; }
    ProgressIndicator& progressIndicator() { return progress_; }
    const ProgressIndicator& progressIndicator() const { return progress_; }

    const std::shared_ptr<ViewController>& contentViewController() const { return controller_; }
    /// Before the application runs; the controller loads with the window.
    void setContentViewController(std::shared_ptr<ViewController> controller);

    bool isVisible() const { return frontend_ != nullptr; }

  private:
    friend class Application;
    friend class Label;
    friend class ProgressIndicator;

    /// Runs the controller's viewDidLoad once.
    void load();
    /// From now on changes go to `frontend`; nullptr when the window closes.
    void show(Frontend* frontend);
    void labelChanged();
    void progressChanged(ProgressChange change);

    std::string title_;
    Label label_;
    ProgressIndicator progress_;
    std::shared_ptr<ViewController> controller_;
    Frontend* frontend_ = nullptr;
};

}  // namespace skald::app
