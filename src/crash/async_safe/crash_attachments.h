// Async-signal-safe to read: the scope's attachments as the crash handler
// copies them next to the report. Built and published off the crash path
// (crash/recording/crash_attachment_table.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace skald::crash {

/// One attachment: bytes held in memory, or a file copied at crash time.
struct CrashAttachment {
    /// A single path component; anything else is skipped when written.
    const char* filename;
    /// The file to copy, or null when `data` holds the bytes.
    const char* path;
    const char* data;
    size_t size;
};

struct CrashAttachmentList {
    const CrashAttachment* items;
    uint32_t count;
    /// Files larger than this are left out: the service would refuse them.
    uint64_t maxFileSize;
};

/// Off the crash path: makes `list` (null for none) the one crash time
/// writes and returns the one it replaces.
const CrashAttachmentList* exchangeCrashAttachments(const CrashAttachmentList* list);

/// The attachment callback: writes every published attachment into
/// `directory` as "<directory>/<filename>". An attachment that cannot be
/// written is logged and skipped; existing files are never replaced.
void writeCrashAttachments(const char* directory);

}  // namespace skald::crash
