#include "envelope/msgpack_serializer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "util/log.h"

namespace skald {

namespace {

constexpr size_t kChunkSize = 1024;
constexpr size_t kMaxFixmapEntries = 15;
constexpr size_t kMaxStr8Length = 255;
constexpr int64_t kMaxBin32Size = 0xFFFFFFFFll;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string describe(const MsgPackValue& value) {
    if (const auto* file = std::get_if<MsgPackValue::FilePath>(&value.source)) return file->path;
    char text[32];
    std::snprintf(text, sizeof text, "<%zu bytes>", std::get<std::string>(value.source).size());
    return text;
}

int64_t sizeOf(const MsgPackValue& value) {
    if (const auto* data = std::get_if<std::string>(&value.source)) {
        return static_cast<int64_t>(data->size());
    }
    const auto& path = std::get<MsgPackValue::FilePath>(value.source).path;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        SKALD_LOG_DEBUG("Could not read file attributes - File: %s - %s", path.c_str(),
                        std::strerror(errno));
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

bool put(std::FILE* output, const void* bytes, size_t count) {
    return std::fwrite(bytes, 1, count, output) == count;
}

bool putBigEndian32(std::FILE* output, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return put(output, bytes, sizeof bytes);
}

/// Copies exactly `size` bytes of the value in chunks; a source that ends
/// early counts as a read error, since the size is already written.
bool copyValue(std::FILE* output, const MsgPackValue& value, uint64_t size, bool& readFailed) {
    readFailed = false;
    if (const auto* data = std::get_if<std::string>(&value.source)) {
        for (size_t offset = 0; offset < size; offset += kChunkSize) {
            const size_t count = std::min<size_t>(kChunkSize, size - offset);
            if (!put(output, data->data() + offset, count)) return false;
        }
        return true;
    }
    File input(std::fopen(std::get<MsgPackValue::FilePath>(value.source).path.c_str(), "rb"));
    if (!input) {
        readFailed = true;
        return false;
    }
    char chunk[kChunkSize];
    uint64_t remaining = size;
    while (remaining > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkSize, remaining));
        const size_t got = std::fread(chunk, 1, want, input.get());
        if (got == 0) {
            readFailed = true;
            return false;
        }
        if (!put(output, chunk, got)) return false;
        remaining -= got;
    }
    return true;
}

}  // namespace

bool MsgPackSerializer::serializeDictionaryToMessagePack(const Dictionary& dictionary,
                                                         const std::string& path) {
    if (dictionary.size() > kMaxFixmapEntries) {
        SKALD_LOG_DEBUG("MessagePack dictionary has %zu entries, more than a fixmap holds.",
                        dictionary.size());
        return false;
    }
    for (const auto& [key, value] : dictionary) {
        if (key.size() > kMaxStr8Length) {
            SKALD_LOG_DEBUG("MessagePack key is longer than 255 bytes: %.64s...", key.c_str());
            return false;
        }
    }

    File output(std::fopen(path.c_str(), "wb"));
    if (!output) {
        SKALD_LOG_DEBUG("Could not open MessagePack file %s - %s", path.c_str(),
                        std::strerror(errno));
        return false;
    }
    const uint8_t map = static_cast<uint8_t>(0x80 | dictionary.size());
    if (!put(output.get(), &map, 1)) return false;

    for (const auto& [key, value] : dictionary) {
        const uint8_t keyHeader[2] = {0xD9, static_cast<uint8_t>(key.size())};
        if (!put(output.get(), keyHeader, sizeof keyHeader) ||
            !put(output.get(), key.data(), key.size())) {
            return false;
        }

        const int64_t size = sizeOf(value);
        if (size < 1) {
            SKALD_LOG_DEBUG("Data for MessagePack dictionary has no content - Input: %s",
                            describe(value).c_str());
            return false;
        }
        if (size > kMaxBin32Size) {
            SKALD_LOG_DEBUG("Data for MessagePack dictionary is too large - Input: %s",
                            describe(value).c_str());
            return false;
        }
        const uint8_t binHeader = 0xC6;
        if (!put(output.get(), &binHeader, 1) ||
            !putBigEndian32(output.get(), static_cast<uint32_t>(size))) {
            return false;
        }
        bool readFailed = false;
        if (!copyValue(output.get(), value, static_cast<uint64_t>(size), readFailed)) {
            if (readFailed) {
                SKALD_LOG_DEBUG("Error reading bytes from input stream - Input: %s - %li",
                                describe(value).c_str(), -1L);
            }
            return false;
        }
    }
    // Buffered bytes may only fail to reach the file here.
    return std::fclose(output.release()) == 0;
}

}  // namespace skald
