// Async-signal-safe: a random UUID from the kernel, formatted by hand.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>

#include "crash/async_safe/monitor_context.h"
#include "crash/async_safe/text_format.h"

namespace skald::crash {

void generateEventId(char destination[kEventIdSize]) {
    uint8_t bytes[16] = {};
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t count = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        filled += static_cast<size_t>(count);
    }
    // Version 4, variant 1, like the system's UUID generator.
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    static_assert(text::kUuidTextLength + 1 == kEventIdSize);
    text::writeUuid(bytes, destination);
    destination[text::kUuidTextLength] = '\0';
}

}  // namespace skald::crash
