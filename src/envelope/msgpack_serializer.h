#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace skald {

/// A value of a MessagePack map: bytes in memory or the contents of a file.
struct MsgPackValue {
    struct FilePath {
        std::string path;
    };

    static MsgPackValue bytes(std::string data) { return {std::move(data)}; }
    static MsgPackValue file(std::string path) { return {FilePath{std::move(path)}}; }

    std::variant<std::string, FilePath> source;
};

/// Writes the small subset of MessagePack that session-replay items need: one
/// map (fixmap) of str8 keys to bin32 values.
class MsgPackSerializer {
  public:
    using Dictionary = std::vector<std::pair<std::string, MsgPackValue>>;

    /// Replaces the file at `path` with the map, entries in the given order.
    /// Fails for an empty value, a value that cannot be read, more than 15
    /// entries, a key longer than 255 bytes or a value of 4 GiB or more: each
    /// of those would otherwise leave a map that readers cannot decode.
    static bool serializeDictionaryToMessagePack(const Dictionary& dictionary,
                                                 const std::string& path);
};

}  // namespace skald
