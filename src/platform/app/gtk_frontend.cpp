#include "platform/app/gtk_frontend.h"

#include <gtk/gtk.h>

#include <atomic>
#include <cmath>
#include <exception>
#include <vector>

#include "skald/platform/main_queue.h"

namespace skald::app {

namespace {

// Host blocks are guarded by the application; anything else that escapes
// must not unwind through GLib's C frames.
void runUnwindingNowhere(const Block& block) {
    try {
        block();
    } catch (...) {
        std::terminate();
    }
}

guint milliseconds(Duration duration) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
    return ms <= 0 ? 0u : static_cast<guint>(std::min<long long>(ms, G_MAXUINT));
}

class GlibTimer final : public platform::Timer {
  public:
    GlibTimer(bool repeats, Block block) : repeats_(repeats), block_(std::move(block)) {}
    ~GlibTimer() override {
        if (source_) g_source_unref(source_);
    }

    static std::shared_ptr<GlibTimer> schedule(Duration interval, bool repeats, Block block) {
        auto timer = std::make_shared<GlibTimer>(repeats, std::move(block));
        GSource* source = g_timeout_source_new(milliseconds(interval));
        g_source_set_callback(
            source, &GlibTimer::fire, new std::shared_ptr<GlibTimer>(timer),
            [](gpointer data) { delete static_cast<std::shared_ptr<GlibTimer>*>(data); });
        timer->source_ = source;
        g_source_attach(source, nullptr);
        return timer;
    }

    void invalidate() override {
        // g_source_destroy may be called from any thread.
        if (valid_.exchange(false)) g_source_destroy(source_);
    }
    bool isValid() const override { return valid_.load(); }

  private:
    static gboolean fire(gpointer data) {
        auto timer = *static_cast<std::shared_ptr<GlibTimer>*>(data);
        if (!timer->valid_.load()) return G_SOURCE_REMOVE;
        if (!timer->repeats_) timer->valid_.store(false);
        runUnwindingNowhere(timer->block_);
        return timer->repeats_ && timer->valid_.load() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
    }

    bool repeats_;
    Block block_;
    GSource* source_ = nullptr;
    std::atomic<bool> valid_{true};
};

// The default GLib main context as the main loop. Each block is an idle
// source of its own: a block that runs a nested loop (a modal alert) leaves
// the others free to run, which one shared source being dispatched would not.
class GlibMainLoop final : public MainLoop {
  public:
    ~GlibMainLoop() override { alive_->store(false); }

    void post(Block block) override {
        if (!block) return;
        auto* posted = new Posted{alive_, std::move(block)};
        g_idle_add_full(
            G_PRIORITY_DEFAULT_IDLE,
            [](gpointer data) -> gboolean {
                auto* posted = static_cast<Posted*>(data);
                if (posted->alive->load()) runUnwindingNowhere(posted->block);
                return G_SOURCE_REMOVE;
            },
            posted, [](gpointer data) { delete static_cast<Posted*>(data); });
    }

    std::shared_ptr<platform::Timer> scheduleTimer(Duration interval, bool repeats,
                                                   Block block) override {
        return GlibTimer::schedule(interval, repeats, std::move(block));
    }

    void runUntil(const std::function<bool()>& done) override {
        while (!done()) g_main_context_iteration(nullptr, TRUE);
    }

    void wake() override { g_main_context_wakeup(nullptr); }

  private:
    struct Posted {
        std::shared_ptr<std::atomic<bool>> alive;
        Block block;
    };
    // Sources still queued when the loop goes away run as no-ops.
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

GtkMessageType messageType(AlertStyle style) {
    switch (style) {
        case AlertStyle::Informational:
            return GTK_MESSAGE_INFO;
        case AlertStyle::Warning:
            return GTK_MESSAGE_WARNING;
        case AlertStyle::Critical:
            return GTK_MESSAGE_ERROR;
    }
    return GTK_MESSAGE_OTHER;
}

// Button labels are mnemonics: a literal underscore is doubled.
std::string buttonLabel(const std::string& title) {
    std::string label;
    for (char c : title) {
        label.push_back(c);
        if (c == '_') label.push_back('_');
    }
    return label;
}

constexpr guint kPulseIntervalMs = 100;
// Focus moves from the window to a dialog through a moment where neither is
// active; the check waits for it to settle.
constexpr guint kActivitySettleMs = 100;

}  // namespace

struct GtkFrontend::Impl {
    struct Dialog {
        Impl* impl = nullptr;
        GtkWidget* widget = nullptr;
        AlertRequest request;
        AlertCompletion completion;
    };

    GlibMainLoop loop;
    FrontendHost* host = nullptr;
    Window* model = nullptr;
    GtkWidget* window = nullptr;
    GtkWidget* label = nullptr;
    GtkWidget* bar = nullptr;
    guint pulseSource = 0;
    guint activitySource = 0;
    bool active = false;
    bool stopped = false;
    std::vector<Dialog*> dialogs;

    void updateProgress() {
        if (!bar || !model) return;
        const ProgressState& state = model->progressIndicator().state();
        auto* progress = GTK_PROGRESS_BAR(bar);
        const bool pulsing = state.indeterminate && state.animating && !stopped;
        if (state.indeterminate) {
            gtk_progress_bar_set_show_text(progress, FALSE);
            if (!pulsing) gtk_progress_bar_set_fraction(progress, 0);
        } else {
            gtk_progress_bar_set_fraction(progress, state.value / 100.0);
            const std::string text =
                std::to_string(static_cast<int>(std::floor(state.value))) + "%";
            gtk_progress_bar_set_text(progress, text.c_str());
            gtk_progress_bar_set_show_text(progress, TRUE);
        }
        if (pulsing && pulseSource == 0) {
            pulseSource = g_timeout_add(
                kPulseIntervalMs,
                [](gpointer data) -> gboolean {
                    gtk_progress_bar_pulse(GTK_PROGRESS_BAR(static_cast<Impl*>(data)->bar));
                    return G_SOURCE_CONTINUE;
                },
                this);
        } else if (!pulsing && pulseSource != 0) {
            g_source_remove(pulseSource);
            pulseSource = 0;
        }
    }

    static void onActiveChanged(GObject*, GParamSpec*, gpointer data) {
        auto* impl = static_cast<Impl*>(data);
        if (impl->activitySource != 0 || impl->stopped) return;
        impl->activitySource = g_timeout_add(kActivitySettleMs, &Impl::checkActivity, impl);
    }

    static gboolean checkActivity(gpointer data) {
        auto* impl = static_cast<Impl*>(data);
        impl->activitySource = 0;
        bool anyActive = impl->window && gtk_window_is_active(GTK_WINDOW(impl->window));
        for (auto* dialog : impl->dialogs) {
            anyActive = anyActive || gtk_window_is_active(GTK_WINDOW(dialog->widget));
        }
        if (anyActive != impl->active && impl->host) {
            impl->active = anyActive;
            FrontendHost* host = impl->host;
            // Host code runs as a loop block, not inside GTK's signal emission.
            impl->loop.post([host, anyActive] {
                if (anyActive) {
                    host->frontendDidBecomeActive();
                } else {
                    host->frontendWillResignActive();
                }
            });
        }
        return G_SOURCE_REMOVE;
    }

    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
        auto* impl = static_cast<Impl*>(data);
        if (impl->host && !impl->stopped) {
            FrontendHost* host = impl->host;
            impl->loop.post([host] { host->frontendRequestsTermination(0); });
        }
        return TRUE;  // the application closes the window when it terminates
    }

    static void onResponse(GtkDialog*, gint responseId, gpointer data) {
        auto* dialog = static_cast<Dialog*>(data);
        Impl* impl = dialog->impl;
        const auto count = static_cast<gint>(dialog->request.buttons.size());
        const ModalResponse response = responseId >= 0 && responseId < count
                                           ? kAlertFirstButtonReturn + responseId
                                           : dialog->request.dismissResponse();
        AlertCompletion completion = std::move(dialog->completion);
        impl->close(dialog);
        if (completion) completion(response);
    }

    void close(Dialog* dialog) {
        std::erase(dialogs, dialog);
        g_signal_handlers_disconnect_by_data(dialog->widget, dialog);
        g_signal_handlers_disconnect_by_data(dialog->widget, this);
        gtk_widget_destroy(dialog->widget);
        delete dialog;
    }
};

std::shared_ptr<GtkFrontend> GtkFrontend::create() {
    static bool initialised = false;
    if (!platform::MainQueue::isMainThread()) return nullptr;
    if (!initialised) {
        gtk_disable_setlocale();
        initialised = gtk_init_check(nullptr, nullptr);
    }
    if (!initialised) return nullptr;
    return std::shared_ptr<GtkFrontend>(new GtkFrontend());
}

GtkFrontend::GtkFrontend() : impl_(std::make_unique<Impl>()) {}

GtkFrontend::~GtkFrontend() {
    stop();
}

MainLoop& GtkFrontend::loop() {
    return impl_->loop;
}

void GtkFrontend::start(FrontendHost& host) {
    impl_->host = &host;
}

void GtkFrontend::showWindow(Window& window) {
    Impl& impl = *impl_;
    if (impl.stopped || impl.window) return;
    impl.model = &window;
    impl.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(impl.window), window.title().c_str());
    gtk_window_set_default_size(GTK_WINDOW(impl.window), 460, -1);
    gtk_window_set_position(GTK_WINDOW(impl.window), GTK_WIN_POS_CENTER);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_container_set_border_width(GTK_CONTAINER(box), 20);
    impl.label = gtk_label_new(window.label().text().c_str());
    gtk_label_set_xalign(GTK_LABEL(impl.label), 0);
    gtk_label_set_ellipsize(GTK_LABEL(impl.label), PANGO_ELLIPSIZE_END);
    impl.bar = gtk_progress_bar_new();
    gtk_box_pack_start(GTK_BOX(box), impl.label, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), impl.bar, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(impl.window), box);

    g_signal_connect(impl.window, "delete-event", G_CALLBACK(&Impl::onDelete), &impl);
    g_signal_connect(impl.window, "notify::is-active", G_CALLBACK(&Impl::onActiveChanged), &impl);
    impl.updateProgress();
    // The application becomes active at launch; the focus reports changes.
    impl.active = true;
    gtk_widget_show_all(impl.window);
    gtk_window_present(GTK_WINDOW(impl.window));
}

void GtkFrontend::titleDidChange(Window& window) {
    if (impl_->window) gtk_window_set_title(GTK_WINDOW(impl_->window), window.title().c_str());
}

void GtkFrontend::labelDidChange(Window& window) {
    if (impl_->label) gtk_label_set_text(GTK_LABEL(impl_->label), window.label().text().c_str());
}

void GtkFrontend::progressDidChange(Window&, ProgressChange) {
    impl_->updateProgress();
}

void GtkFrontend::presentAlert(const AlertRequest& request, AlertCompletion completion) {
    Impl& impl = *impl_;
    if (impl.stopped) return;
    auto* dialog = new Impl::Dialog{&impl, nullptr, request, std::move(completion)};
    if (dialog->request.buttons.empty()) dialog->request.buttons.emplace_back("OK");

    GtkWindow* parent = impl.window ? GTK_WINDOW(impl.window) : nullptr;
    dialog->widget = gtk_message_dialog_new(
        parent, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        messageType(request.style), GTK_BUTTONS_NONE, "%s", request.messageText.c_str());
    if (!request.informativeText.empty()) {
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog->widget), "%s",
                                                 request.informativeText.c_str());
    }
    if (impl.model) gtk_window_set_title(GTK_WINDOW(dialog->widget), impl.model->title().c_str());
    for (size_t i = 0; i < dialog->request.buttons.size(); ++i) {
        gtk_dialog_add_button(GTK_DIALOG(dialog->widget),
                              buttonLabel(dialog->request.buttons[i]).c_str(),
                              static_cast<gint>(i));
    }
    // Return picks the first button, the alert's default.
    gtk_dialog_set_default_response(GTK_DIALOG(dialog->widget), 0);
    if (request.sheet && parent) {
        gtk_window_set_position(GTK_WINDOW(dialog->widget), GTK_WIN_POS_CENTER_ON_PARENT);
    }
    g_signal_connect(dialog->widget, "response", G_CALLBACK(&Impl::onResponse), dialog);
    g_signal_connect(dialog->widget, "notify::is-active", G_CALLBACK(&Impl::onActiveChanged),
                     &impl);
    impl.dialogs.push_back(dialog);
    gtk_widget_show(dialog->widget);
    gtk_window_present(GTK_WINDOW(dialog->widget));
}

void GtkFrontend::stop() {
    Impl& impl = *impl_;
    if (impl.stopped) return;
    impl.stopped = true;
    while (!impl.dialogs.empty()) impl.close(impl.dialogs.back());
    if (impl.pulseSource != 0) g_source_remove(impl.pulseSource);
    if (impl.activitySource != 0) g_source_remove(impl.activitySource);
    impl.pulseSource = impl.activitySource = 0;
    if (impl.window) {
        g_signal_handlers_disconnect_by_data(impl.window, &impl);
        gtk_widget_destroy(impl.window);
        impl.window = impl.label = impl.bar = nullptr;
    }
    impl.model = nullptr;
    impl.host = nullptr;
    if (GdkDisplay* display = gdk_display_get_default()) gdk_display_flush(display);
}

}  // namespace skald::app
