#include "skald/platform/gzip.h"

#include <zlib.h>

#include <algorithm>

namespace skald {

std::optional<std::string> gzipCompress(std::string_view data, int level, Error* error) {
    if (data.empty()) return std::string();

    z_stream stream{};
    // Window bits 31: a 32 KiB window with the gzip wrapper.
    if (deflateInit2(&stream, level, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        if (error) *error = Error::skald(ErrorCode::CompressionError, "deflateInit2 error");
        return std::nullopt;
    }

    // 2% plus 50 bytes is roomy; deflateBound guards against ever cutting the
    // stream short for input that does not compress.
    const size_t roomy = static_cast<size_t>(static_cast<double>(data.size()) * 1.02 + 50);
    std::string out(std::max<size_t>(roomy, deflateBound(&stream, data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());

    int status = Z_OK;
    while (status == Z_OK) status = deflate(&stream, Z_FINISH);
    const size_t written = stream.total_out;
    deflateEnd(&stream);

    if (status != Z_STREAM_END) {
        if (error) *error = Error::skald(ErrorCode::CompressionError, "deflate error");
        return std::nullopt;
    }
    out.resize(written);
    return out;
}

std::optional<std::string> gzipDecompress(std::string_view data, size_t maxSize) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buffer[65536];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
        if (out.size() > maxSize) status = Z_MEM_ERROR;
    }
    const bool complete = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!complete) return std::nullopt;
    return out;
}

}  // namespace skald
