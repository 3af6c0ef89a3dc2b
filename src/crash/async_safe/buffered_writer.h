// Async-signal-safe: buffered file output and line input over caller buffers.
#pragma once

namespace skald::crash {

/// Writes through a caller's buffer so that crash-time output costs few
/// system calls; flushed when full, on request and at close.
struct BufferedWriter {
    int fd;
    char* buffer;
    int bufferLength;
    int position;
};

/// Creates or truncates `path` (mode 0644); false, logged, when it cannot.
bool openBufferedWriter(BufferedWriter* writer, const char* path, char* buffer, int bufferLength);
/// Data larger than the buffer is written straight through.
bool writeBuffered(BufferedWriter* writer, const char* data, int length);
bool flushBufferedWriter(BufferedWriter* writer);
/// Flushes and closes; the writer can be closed twice.
void closeBufferedWriter(BufferedWriter* writer);

/// Reads a file line by line through a caller's buffer.
struct BufferedReader {
    int fd;
    char* buffer;
    int bufferLength;
    int position;
    int length;
};

bool openBufferedReader(BufferedReader* reader, const char* path, char* buffer, int bufferLength);
/// The next line without its "\n" into `line` (NUL-terminated): its length,
/// or -1 at the end of the file. A longer line is cut to maxLength - 1 bytes
/// and the rest of it skipped.
int readLine(BufferedReader* reader, char* line, int maxLength);
void closeBufferedReader(BufferedReader* reader);

}  // namespace skald::crash
