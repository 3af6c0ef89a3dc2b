// Async-signal-safe: formats into a stack buffer and writes to stderr with write().
#include "crash/async_safe/crash_log.h"

#include <string.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/text_format.h"

namespace skald::crash {

namespace {

std::atomic<bool> gDebugLogging{false};

void writeLine(std::initializer_list<const char*> texts) {
    char line[512];
    int used = 0;
    // Leaves the last byte for the line end.
    for (const char* text : texts) {
        used += text::copyString(line + used, static_cast<int>(sizeof line) - used, text);
    }
    line[used++] = '\n';
    writeAll(STDERR_FILENO, line, static_cast<size_t>(used));
}

}  // namespace

void logError(const char* text1, const char* text2, const char* text3, const char* text4) {
    writeLine({"[Skald] [error] ", text1, text2, text3, text4});
}

void logDebug(const char* text1, const char* text2) {
    if (gDebugLogging.load(std::memory_order_relaxed)) {
        writeLine({"[Skald] [debug] ", text1, text2});
    }
}

void setDebugLogging(bool enabled) {
    gDebugLogging = enabled;
}

bool isDebugLogging() {
    return gDebugLogging;
}

const char* errorText(int errnum) {
    // strerror() may translate and allocate; the descriptions table is static.
    const char* text = strerrordesc_np(errnum);
    return text != nullptr ? text : "Unknown error";
}

}  // namespace skald::crash
