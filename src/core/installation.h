#pragma once

#include <string>

namespace skald {

/// The installation id: one random id per cache directory, kept in the file
/// "INSTALLATION" there and cached in memory for the life of the process.
class Installation {
  public:
    /// The id for `cacheDirectoryPath`: the cached one, else the one stored in
    /// the file, else a new one that is stored (the directory is made when
    /// missing). A file that cannot be written still gives an id, the same
    /// one for the rest of the process.
    static std::string id(const std::string& cacheDirectoryPath);

    /// Loads the id on the SDK's background queue, so that the first event
    /// does not wait for the disk.
    static void cacheIdAsync(const std::string& cacheDirectoryPath);
};

}  // namespace skald
