#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace skald {

class SpanImpl;

/// Records the host's whole-file reads and writes as "file.read" and
/// "file.write" children of the span bound to the scope, while enabled (by
/// the file I/O tracking integration). Files under the SDK's own storage
/// folder are never recorded, and reads nested in a recorded read (a URL read
/// going through the path read) are recorded once.
class FileIOTracker {
  public:
    static constexpr const char* kOperationRead = "file.read";
    static constexpr const char* kOperationWrite = "file.write";
    static constexpr const char* kOrigin = "auto.file.ns_data";

    using Write = std::function<bool(const std::string& data, const std::string& path)>;
    using Read = std::function<std::optional<std::string>(const std::string& path)>;

    /// The one the file helpers go through; never destroyed.
    static const std::shared_ptr<FileIOTracker>& shared();

    void enable();
    void disable();
    bool isEnabled() const;

    /// A started span for an operation on `path`, or null: when disabled, for
    /// the SDK's own files, or without a bound span. `size` 0 leaves the size
    /// out of the description.
    std::shared_ptr<SpanImpl> spanForPath(const std::string& path, const std::string& operation,
                                          uint64_t size);

    /// Runs `write`, inside a "file.write" span when one is started. A failed
    /// write still records the size it tried, with status internal_error.
    bool measureWrite(const std::string& data, const std::string& path, const Write& write);

    /// Runs `read`, inside a "file.read" span when this is the thread's
    /// outermost read and a span is started.
    std::optional<std::string> measureRead(const std::string& path, const Read& read);

  private:
    /// Whether `path` lies in the current client's storage folder.
    static bool isOwnStoragePath(const std::string& path);

    mutable std::mutex mutex_;
    bool enabled_ = false;
};

/// The helpers' file work without any tracking, for comparisons.
namespace file_data_detail {
std::optional<std::string> readUntracked(const std::string& path);
bool writeUntracked(const std::string& data, const std::string& path, bool atomically);
/// The decoded path of a local "file://" URL; nothing for any other text.
std::optional<std::string> pathOfFileUrl(const std::string& fileUrl);
}  // namespace file_data_detail

}  // namespace skald
