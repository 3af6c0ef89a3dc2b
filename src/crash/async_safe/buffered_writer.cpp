// Async-signal-safe: open, read, write and close only.
#include "crash/async_safe/buffered_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "crash/async_safe/crash_log.h"
#include "crash/async_safe/file_utils.h"

namespace skald::crash {

bool openBufferedWriter(BufferedWriter* writer, const char* path, char* buffer, int bufferLength) {
    writer->buffer = buffer;
    writer->bufferLength = bufferLength;
    writer->position = 0;
    writer->fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (writer->fd < 0) {
        logError("Could not open crash report file ", path, ": ", errorText(errno));
        return false;
    }
    return true;
}

bool flushBufferedWriter(BufferedWriter* writer) {
    if (writer->fd < 0) return false;
    const int pending = writer->position;
    writer->position = 0;
    return pending == 0 || writeAll(writer->fd, writer->buffer, static_cast<size_t>(pending));
}

bool writeBuffered(BufferedWriter* writer, const char* data, int length) {
    if (writer->fd < 0 || length < 0) return false;
    if (length > writer->bufferLength - writer->position) {
        if (!flushBufferedWriter(writer)) return false;
        if (length > writer->bufferLength) {
            return writeAll(writer->fd, data, static_cast<size_t>(length));
        }
    }
    std::memcpy(writer->buffer + writer->position, data, static_cast<size_t>(length));
    writer->position += length;
    return true;
}

void closeBufferedWriter(BufferedWriter* writer) {
    if (writer->fd < 0) return;
    flushBufferedWriter(writer);
    ::close(writer->fd);
    writer->fd = -1;
}

bool openBufferedReader(BufferedReader* reader, const char* path, char* buffer, int bufferLength) {
    reader->buffer = buffer;
    reader->bufferLength = bufferLength;
    reader->position = 0;
    reader->length = 0;
    reader->fd = ::open(path, O_RDONLY | O_CLOEXEC);
    return reader->fd >= 0;
}

namespace {

/// The next byte, or -1 at the end.
int nextByte(BufferedReader* reader) {
    if (reader->position >= reader->length) {
        const ssize_t count =
            readOnce(reader->fd, reader->buffer, static_cast<size_t>(reader->bufferLength));
        if (count <= 0) return -1;
        reader->length = static_cast<int>(count);
        reader->position = 0;
    }
    return static_cast<unsigned char>(reader->buffer[reader->position++]);
}

}  // namespace

int readLine(BufferedReader* reader, char* line, int maxLength) {
    if (reader->fd < 0 || maxLength <= 0) return -1;
    int length = 0;
    int byte = nextByte(reader);
    if (byte < 0) return -1;
    for (; byte >= 0 && byte != '\n'; byte = nextByte(reader)) {
        if (length < maxLength - 1) line[length++] = static_cast<char>(byte);
    }
    line[length] = '\0';
    return length;
}

void closeBufferedReader(BufferedReader* reader) {
    if (reader->fd < 0) return;
    ::close(reader->fd);
    reader->fd = -1;
}

}  // namespace skald::crash
