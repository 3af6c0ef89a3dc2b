#pragma once

#include <cstdint>
#include <vector>

#include "skald/attachment.h"

namespace skald::crash {

/// Publishes `attachments` for the crash handler to write next to the next
/// crash report (crash/async_safe/crash_attachments.h). Attachments held in
/// memory that exceed `maxFileSize` are left out, as the service would
/// refuse them; files are measured when copied. Thread-safe.
void setCrashAttachments(const std::vector<Attachment>& attachments, uint64_t maxFileSize);

/// Withdraws every published attachment.
void clearCrashAttachments();

}  // namespace skald::crash
