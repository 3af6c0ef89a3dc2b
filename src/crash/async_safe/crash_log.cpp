// Async-signal-safe: formats into a stack buffer and writes to stderr with write().
#include "crash/async_safe/crash_log.h"

#include <string.h>
#include <unistd.h>

#include <initializer_list>

#include "crash/async_safe/file_utils.h"

namespace skald::crash {

void logError(const char* text1, const char* text2, const char* text3, const char* text4) {
    char line[512];
    size_t used = 0;
    for (const char* text : {"[Skald] [error] ", text1, text2, text3, text4}) {
        for (; text != nullptr && *text != '\0' && used < sizeof(line) - 1; ++text) {
            line[used++] = *text;
        }
    }
    line[used++] = '\n';
    writeAll(STDERR_FILENO, line, used);
}

const char* errorText(int errnum) {
    // strerror() may translate and allocate; the descriptions table is static.
    const char* text = strerrordesc_np(errnum);
    return text != nullptr ? text : "Unknown error";
}

}  // namespace skald::crash
