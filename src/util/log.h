#pragma once

#include <functional>
#include <string>

#include "skald/level.h"

namespace skald {

/// The SDK's internal log. A line is written only when `debug` is on and the
/// message's level is at least the diagnostic level.
class Log {
  public:
    static void configure(bool debug, Level diagnosticLevel);

    /// Whether a message of `level` would be written; checked before formatting.
    static bool willLog(Level level);

    /// Writes "[Skald] [<level>] <message>" when willLog(level).
    static void logWithMessage(const std::string& message, Level level);

    /// Receives every written line instead of stderr; nullptr restores stderr.
    using Output = std::function<void(const std::string& line)>;
    static void setOutput(Output output);
};

namespace detail {
/// "[<file name without extension>:<line>] <formatted text>".
std::string formatLogMessage(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
}  // namespace detail

}  // namespace skald

#define SKALD_LOG(level, ...)                                                               \
    do {                                                                                    \
        if (::skald::Log::willLog(level)) {                                                 \
            ::skald::Log::logWithMessage(                                                   \
                ::skald::detail::formatLogMessage(__FILE__, __LINE__, __VA_ARGS__), level); \
        }                                                                                   \
    } while (0)

#define SKALD_LOG_DEBUG(...) SKALD_LOG(::skald::Level::Debug, __VA_ARGS__)
#define SKALD_LOG_INFO(...) SKALD_LOG(::skald::Level::Info, __VA_ARGS__)
#define SKALD_LOG_WARNING(...) SKALD_LOG(::skald::Level::Warning, __VA_ARGS__)
#define SKALD_LOG_ERROR(...) SKALD_LOG(::skald::Level::Error, __VA_ARGS__)
#define SKALD_LOG_FATAL(...) SKALD_LOG(::skald::Level::Fatal, __VA_ARGS__)
