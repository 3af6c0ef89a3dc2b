#include "util/log.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "crash/async_safe/crash_log.h"
#include "platform/base/path.h"
#include "platform/process/no_destructor.h"

namespace skald {

namespace {

std::atomic<bool> gDebug{false};
std::atomic<uint32_t> gDiagnosticLevel{static_cast<uint32_t>(Level::Debug)};

std::mutex& outputMutex() {
    static std::mutex mutex;
    return mutex;
}

Log::Output& output() {
    static platform::NoDestructor<Log::Output> out;
    return *out;
}

}  // namespace

void Log::configure(bool debug, Level diagnosticLevel) {
    gDiagnosticLevel.store(static_cast<uint32_t>(diagnosticLevel), std::memory_order_relaxed);
    gDebug.store(debug, std::memory_order_relaxed);
    // Crash-time code cannot use this logger; it writes its fixed texts itself.
    crash::setDebugLogging(debug && diagnosticLevel <= Level::Debug);
}

bool Log::willLog(Level level) {
    return gDebug.load(std::memory_order_relaxed) &&
           static_cast<uint32_t>(level) >= gDiagnosticLevel.load(std::memory_order_relaxed);
}

void Log::logWithMessage(const std::string& message, Level level) {
    if (!willLog(level)) return;
    std::string line = "[Skald] [";
    line += nameForLevel(level);
    line += "] ";
    line += message;

    std::lock_guard lock(outputMutex());
    if (output()) {
        output()(line);
        return;
    }
    line += '\n';
    // One write per line so that lines of concurrent threads do not interleave.
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n <= 0) break;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

void Log::setOutput(Output out) {
    std::lock_guard lock(outputMutex());
    output() = std::move(out);
}

namespace detail {

std::string formatLogMessage(const char* file, int line, const char* format, ...) {
    // Source file names never end in a slash.
    std::string_view name = platform::lastPathComponent(file);
    if (const auto dot = name.find('.'); dot != std::string_view::npos) {
        name = name.substr(0, dot);
    }

    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);

    std::string result;
    result.reserve(name.size() + text.size() + 16);
    result += '[';
    result += name;
    result += ':';
    result += std::to_string(line);
    result += "] ";
    result += text;
    return result;
}

}  // namespace detail

}  // namespace skald
