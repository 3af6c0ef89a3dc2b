#pragma once

// Only for programs that link GLib; the SDK itself does not.
#include <glib.h>

#include <utility>

#include "skald/platform/main_queue.h"

namespace skald {

/// Makes `context` (the default main context when null) the SDK's main
/// queue: blocks the SDK posts for the main thread run there, as
/// `g_main_context_invoke` runs them, so that a GTK or other GLib host gets
/// what needs its main loop (hang detection's probe, main-thread work)
/// without this project's application layer. Call it once, from the thread
/// that runs the context, before or after starting the SDK. The context is
/// kept for the life of the process.
inline void useGMainContext(GMainContext* context = nullptr) {
    GMainContext* target = g_main_context_ref(context ? context : g_main_context_default());
    platform::MainQueue::registerLoop([target](platform::Block block) {
        g_main_context_invoke_full(
            target, G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<platform::Block*>(data))();
                return G_SOURCE_REMOVE;
            },
            new platform::Block(std::move(block)),
            [](gpointer data) { delete static_cast<platform::Block*>(data); });
    });
}

}  // namespace skald
