// A GTK program that embeds the SDK with nothing but its public interface:
// the GLib main context becomes the SDK's main queue, and the window's
// activation and closing drive the SDK's lifecycle, so that sessions, hang
// detection and automatic breadcrumbs work as in any host with its own loop.
//
// Usage: skald-gtk-host [--freeze MS] [--message TEXT] [--quit-after MS] [--debug]
//   --freeze MS       blocks the main loop for MS milliseconds once the window shows
//   --message TEXT    sends TEXT as a message after that
//   --quit-after MS   closes the window MS milliseconds after it shows
// The DSN comes from SKALD_DSN. Without --quit-after the window stays until
// it is closed; its buttons do the same things by hand.
#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "skald/glib_main_loop.h"
#include "skald/lifecycle.h"
#include "skald/skald.h"

namespace {

struct Settings {
    int freezeMillis = 0;
    std::string message;
    int quitAfterMillis = -1;
    bool debug = false;
};

// Not inlined and exported, so that a hang's stack names it.
extern "C" __attribute__((noinline, visibility("default"))) void gtkHostFreezeMainLoop(int millis) {
    std::this_thread::sleep_for(std::chrono::milliseconds(millis));
    asm volatile("" ::: "memory");
}

void sendMessage(const std::string& text) {
    skald::SDK::captureMessage(text);
    std::printf("sent: %s\n", text.c_str());
    std::fflush(stdout);
}

gboolean runScript(gpointer data) {
    const auto* settings = static_cast<const Settings*>(data);
    if (settings->freezeMillis > 0) {
        std::printf("freezing the main loop for %d ms\n", settings->freezeMillis);
        std::fflush(stdout);
        gtkHostFreezeMainLoop(settings->freezeMillis);
    }
    if (!settings->message.empty()) sendMessage(settings->message);
    return G_SOURCE_REMOVE;
}

void onActiveChanged(GtkWindow* window, GParamSpec*, gpointer) {
    if (gtk_window_is_active(window)) {
        skald::Lifecycle::didBecomeActive();
    } else {
        skald::Lifecycle::willResignActive();
    }
}

bool parse(int argc, char** argv, Settings& settings) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--debug") {
            settings.debug = true;
        } else if (arg == "--freeze" && hasValue) {
            settings.freezeMillis = std::atoi(argv[++i]);
        } else if (arg == "--message" && hasValue) {
            settings.message = argv[++i];
        } else if (arg == "--quit-after" && hasValue) {
            settings.quitAfterMillis = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "skald-gtk-host: unknown or incomplete argument %s\n",
                         arg.c_str());
            return false;
        }
    }
    return true;
}

GtkWidget* button(const char* label, GCallback callback, gpointer data) {
    GtkWidget* widget = gtk_button_new_with_label(label);
    g_signal_connect(widget, "clicked", callback, data);
    return widget;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!gtk_init_check(&argc, &argv)) {
        std::fputs("skald-gtk-host: cannot open a display\n", stderr);
        return 2;
    }
    if (!parse(argc, argv, settings)) return 2;

    skald::SDK::startWithConfigureOptions([&](skald::Options& options) {
        options.debug = settings.debug;
        options.releaseName = "skald-gtk-host@1.0.0";
        options.addInAppInclude("skald-gtk-host");
    });
    skald::useGMainContext();

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Skald GTK host");
    gtk_window_set_default_size(GTK_WINDOW(window), 320, 120);
    g_signal_connect(window, "notify::is-active", G_CALLBACK(onActiveChanged), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_container_set_border_width(GTK_CONTAINER(box), 12);
    gtk_box_pack_start(GTK_BOX(box),
                       button("Send a message", G_CALLBACK(+[](GtkButton*, gpointer) {
                                  sendMessage("Hello from the GTK host");
                              }),
                              nullptr),
                       FALSE, FALSE, 0);
    gtk_box_pack_start(
        GTK_BOX(box),
        button("Freeze for 3 seconds",
               G_CALLBACK(+[](GtkButton*, gpointer) { gtkHostFreezeMainLoop(3000); }), nullptr),
        FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box),
                       button("Quit", G_CALLBACK(+[](GtkButton*, gpointer window) {
                                  gtk_widget_destroy(GTK_WIDGET(window));
                              }),
                              window),
                       FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    gtk_widget_show_all(window);
    // A window manager would activate the window; under a bare X server the
    // program says so itself.
    skald::Lifecycle::didBecomeActive();

    // The script starts once the loop runs, so the SDK's probe can see it stall.
    g_timeout_add(300, runScript, &settings);
    static guint quitSource = 0;
    if (settings.quitAfterMillis >= 0) {
        quitSource = g_timeout_add(
            static_cast<guint>(300 + settings.quitAfterMillis),
            [](gpointer window) -> gboolean {
                quitSource = 0;
                gtk_widget_destroy(GTK_WIDGET(window));
                return G_SOURCE_REMOVE;
            },
            window);
    }
    gtk_main();
    // Closed by hand first: the timer must not reach the destroyed window.
    if (quitSource != 0) g_source_remove(quitSource);

    skald::Lifecycle::willTerminate();
    skald::SDK::flush(5);
    skald::SDK::close();
    return 0;
}
