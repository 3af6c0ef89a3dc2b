#include "platform/app/gtk_frontend.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cmath>

#include "app_test_util.h"
#include "support/xvfb.h"

namespace skald::app::test {
namespace {

using skald::test::Xvfb;

class GtkFrontendTest : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        if (::access(Xvfb::kPath, X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
        const std::string& display = Xvfb::shared().display();
        ASSERT_FALSE(display.empty()) << "Xvfb did not start";
        ::setenv("DISPLAY", display.c_str(), 1);
        ::setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus to talk to
    }
};

template <typename Widget>
Widget* findDescendant(GtkWidget* root, GType type) {
    if (G_TYPE_CHECK_INSTANCE_TYPE(root, type)) return reinterpret_cast<Widget*>(root);
    if (!GTK_IS_CONTAINER(root)) return nullptr;
    Widget* found = nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(root));
    for (GList* child = children; child && !found; child = child->next) {
        found = findDescendant<Widget>(GTK_WIDGET(child->data), type);
    }
    g_list_free(children);
    return found;
}

// GTK's own list of toplevel windows, filtered.
std::vector<GtkWindow*> toplevels(GType type) {
    std::vector<GtkWindow*> windows;
    GList* list = gtk_window_list_toplevels();
    for (GList* item = list; item; item = item->next) {
        if (G_TYPE_CHECK_INSTANCE_TYPE(item->data, type) &&
            gtk_widget_get_visible(GTK_WIDGET(item->data))) {
            windows.push_back(GTK_WINDOW(item->data));
        }
    }
    g_list_free(list);
    return windows;
}

GtkWindow* windowTitled(const std::string& title) {
    for (GtkWindow* window : toplevels(GTK_TYPE_WINDOW)) {
        const char* current = gtk_window_get_title(window);
        if (current && title == current && !GTK_IS_DIALOG(window)) return window;
    }
    return nullptr;
}

std::string dialogText(GtkWindow* dialog) {
    gchar* text = nullptr;
    g_object_get(dialog, "text", &text, nullptr);
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

TEST_F(GtkFrontendTest, WindowShowsLabelAndProgressBar) {
    auto frontend = GtkFrontend::create();
    ASSERT_NE(frontend, nullptr);
    Application app(frontend);
    Window& window = app.mainWindow();
    window.setTitle("Installer Test");
    window.label().setText("Downloading...");
    window.progressIndicator().setDoubleValue(25);

    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        GtkWindow* shown = windowTitled("Installer Test");
        ASSERT_NE(shown, nullptr);
        auto* bar = findDescendant<GtkProgressBar>(GTK_WIDGET(shown), GTK_TYPE_PROGRESS_BAR);
        auto* label = findDescendant<GtkLabel>(GTK_WIDGET(shown), GTK_TYPE_LABEL);
        ASSERT_NE(bar, nullptr);
        ASSERT_NE(label, nullptr);
        EXPECT_STREQ(gtk_label_get_text(label), "Downloading...");
        EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(bar), 0.25);

        // Changes from another thread arrive through the main queue.
        std::thread([&] { window.progressIndicator().setDoubleValue(40); }).join();
        window.label().setText("Installing Vantorel...");
        app.dispatchAfter(50ms, [&, bar, label] {
            EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(bar), 0.4);
            EXPECT_STREQ(gtk_progress_bar_get_text(bar), "40%");
            EXPECT_STREQ(gtk_label_get_text(label), "Installing Vantorel...");
            window.progressIndicator().setIndeterminate(true);
            window.progressIndicator().startAnimation();
        });
        app.dispatchAfter(400ms, [&, bar] {
            EXPECT_FALSE(gtk_progress_bar_get_show_text(bar));
            app.terminate();
        });
    };
    auto watchdog = armWatchdog(app);
    EXPECT_EQ(app.run(delegate), 0);
    EXPECT_EQ(windowTitled("Installer Test"), nullptr) << "the window closes at termination";
}

TEST_F(GtkFrontendTest, AlertsAreMessageDialogsAnsweredByTheirButtons) {
    auto frontend = GtkFrontend::create();
    ASSERT_NE(frontend, nullptr);
    Application app(frontend);
    app.mainWindow().setTitle("Installer Test");
    std::vector<std::string> log;

    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        Alert sheet;
        sheet.setAlertStyle(AlertStyle::Critical);
        sheet.setMessageText("Vantorel is already running");
        sheet.setInformativeText("Please quit Vantorel, then try again.");
        sheet.addButtonWithTitle("Try again");
        sheet.addButtonWithTitle("Cancel");
        sheet.beginSheetModalForWindow(app.mainWindow(), [&](ModalResponse r) {
            log.push_back("sheet " + std::to_string(r));
        });
        log.push_back("sheet begun");

        // Press the second button of the sheet's dialog, then close the modal
        // alert's dialog without a button, as Escape does.
        app.dispatchAfter(50ms, [&] {
            auto dialogs = toplevels(GTK_TYPE_MESSAGE_DIALOG);
            ASSERT_EQ(dialogs.size(), 1u);
            EXPECT_EQ(dialogText(dialogs[0]), "Vantorel is already running");
            EXPECT_EQ(gtk_window_get_transient_for(dialogs[0]), windowTitled("Installer Test"));
            EXPECT_TRUE(gtk_window_get_modal(dialogs[0]));
            gtk_dialog_response(GTK_DIALOG(dialogs[0]), 1);
        });
        app.dispatchAfter(150ms, [&] {
            auto dialogs = toplevels(GTK_TYPE_MESSAGE_DIALOG);
            ASSERT_EQ(dialogs.size(), 1u);
            EXPECT_EQ(dialogText(dialogs[0]), "Try the modal");
            gtk_dialog_response(GTK_DIALOG(dialogs[0]), GTK_RESPONSE_DELETE_EVENT);
        });
        app.dispatchAfter(100ms, [&] {
            Alert modal;
            modal.setMessageText("Try the modal");
            modal.addButtonWithTitle("Try again");
            modal.addButtonWithTitle("Cancel");
            log.push_back("modal " + std::to_string(modal.runModal()));
            app.terminate();
        });
    };
    auto watchdog = armWatchdog(app);
    EXPECT_EQ(app.run(delegate), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"sheet begun", "sheet 1001", "modal 1001"}));
    EXPECT_TRUE(toplevels(GTK_TYPE_MESSAGE_DIALOG).empty());
}

TEST_F(GtkFrontendTest, AutoChoosesTheWindowWhenADisplayIsSet) {
    EXPECT_EQ(makeFrontend(FrontendKind::Auto)->name(), "gtk");
}

}  // namespace
}  // namespace skald::app::test
