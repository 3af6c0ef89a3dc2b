#include "integrations/file_io_tracker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>

#include "core/client.h"
#include "core/tracing/auto_span.h"
#include "core/tracing/span_impl.h"
#include "persistence/file_manager.h"
#include "platform/base/path.h"
#include "platform/base/unique_fd.h"
#include "platform/system/process_status.h"
#include "skald/file_data.h"
#include "skald/hub.h"
#include "skald/sdk.h"
#include "skald/url.h"
#include "util/byte_count_formatter.h"
#include "util/file_io.h"
#include "util/log.h"

namespace skald {

namespace {

/// Larger files are refused rather than read into the host's memory.
constexpr uint64_t kMaxReadBytes = uint64_t{1} << 30;

/// How deep the current thread is in measured reads.
thread_local int readNesting = 0;

class ReadNestingGuard {
  public:
    ReadNestingGuard() : outermost_(readNesting++ == 0) {}
    ~ReadNestingGuard() { --readNesting; }
    ReadNestingGuard(const ReadNestingGuard&) = delete;
    ReadNestingGuard& operator=(const ReadNestingGuard&) = delete;
    bool outermost() const { return outermost_; }

  private:
    bool outermost_;
};

/// A path the system calls can take: a NUL byte would cut it short.
bool isUsablePath(const std::string& path) {
    return !path.empty() && path.find('\0') == std::string::npos;
}

/// `path` absolute and without "." or ".." components, for comparing folders.
std::string normalizedPath(const std::string& path) {
    std::filesystem::path result(path);
    if (result.is_relative()) {
        std::error_code error;
        const auto current = std::filesystem::current_path(error);
        if (!error) result = current / result;
    }
    std::string text = result.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

/// The process's umask, read without changing it (umask(2) cannot). Read
/// once: hosts set it, if at all, before they write files.
mode_t processUmask() {
    static const mode_t mask = [] {
        mode_t found = 022;
        const auto status = readFileContents("/proc/self/status", nullptr, 64 * 1024);
        if (!status) return found;
        const auto field = platform::statusField(*status, "Umask");
        if (!field || field->empty()) return found;
        char* end = nullptr;
        const unsigned long value = std::strtoul(field->c_str(), &end, 8);
        if (end != field->c_str()) found = static_cast<mode_t>(value & 0777);
        return found;
    }();
    return mask;
}

bool writeInPlace(const std::string& data, const std::string& path) {
    // Non-blocking, so that a FIFO without a reader fails at once instead
    // of hanging the host; fstat then refuses anything that is no file.
    const platform::unique_fd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666));
    if (!fd) {
        const int error = errno;
        SKALD_LOG_DEBUG("Could not open %s for writing: %s", path.c_str(), std::strerror(error));
        return false;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        SKALD_LOG_DEBUG("Not writing to %s: it is no regular file.", path.c_str());
        return false;
    }
    // Truncated only now: opening with O_TRUNC would empty what fstat refuses.
    if (::ftruncate(fd.get(), 0) != 0 || !writeAllBytes(fd.get(), data)) {
        const int error = errno;
        SKALD_LOG_DEBUG("Could not write %s: %s", path.c_str(), std::strerror(error));
        return false;
    }
    return true;
}

bool writeReplacing(const std::string& data, const std::string& path) {
    std::string target = path;
    mode_t mode = 0666 & ~processUmask();
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        // The link stays; its target is what gets replaced.
        std::error_code error;
        const auto resolved = std::filesystem::weakly_canonical(path, error);
        if (error) {
            SKALD_LOG_DEBUG("Could not resolve the link %s: %s", path.c_str(),
                            error.message().c_str());
            return false;
        }
        target = resolved.string();
    }
    if (::stat(target.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            SKALD_LOG_DEBUG("Not writing to %s: it is no regular file.", path.c_str());
            return false;
        }
        mode = info.st_mode & 0777;
    }
    std::string errorText;
    if (!writeFileAtomically(target, data, mode, &errorText)) {
        SKALD_LOG_DEBUG("Could not write %s: %s", path.c_str(), errorText.c_str());
        return false;
    }
    return true;
}

}  // namespace

namespace file_data_detail {

std::optional<std::string> readUntracked(const std::string& path) {
    if (!isUsablePath(path)) {
        SKALD_LOG_DEBUG("Not reading a file without a usable path.");
        return std::nullopt;
    }
    FileRead read = readRegularFile(path, kMaxReadBytes, Symlinks::Follow);
    if (!read.ok()) {
        SKALD_LOG_DEBUG("Could not read file data: %s", read.errorText.c_str());
        return std::nullopt;
    }
    return std::move(read.contents);
}

bool writeUntracked(const std::string& data, const std::string& path, bool atomically) {
    if (!isUsablePath(path)) {
        SKALD_LOG_DEBUG("Not writing a file without a usable path.");
        return false;
    }
    return atomically ? writeReplacing(data, path) : writeInPlace(data, path);
}

std::optional<std::string> pathOfFileUrl(const std::string& fileUrl) {
    const auto url = Url::parse(fileUrl);
    if (!url || !url->scheme()) return std::nullopt;
    std::string scheme = *url->scheme();
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "file") return std::nullopt;
    // A file on another machine is not for local I/O.
    if (url->host() && !url->host()->empty() && *url->host() != "localhost") return std::nullopt;
    std::string path = url->path();
    if (!isUsablePath(path) || path.front() != '/') return std::nullopt;
    return path;
}

}  // namespace file_data_detail

const std::shared_ptr<FileIOTracker>& FileIOTracker::shared() {
    // Never destroyed: host threads may still read or write while it exits.
    static auto* tracker = new std::shared_ptr<FileIOTracker>(std::make_shared<FileIOTracker>());
    return *tracker;
}

void FileIOTracker::enable() {
    std::lock_guard guard(mutex_);
    enabled_ = true;
}

void FileIOTracker::disable() {
    std::lock_guard guard(mutex_);
    enabled_ = false;
}

bool FileIOTracker::isEnabled() const {
    std::lock_guard guard(mutex_);
    return enabled_;
}

bool FileIOTracker::isOwnStoragePath(const std::string& path) {
    const auto client = SDK::currentHub()->getClient();
    if (!client || !client->fileManager()) return false;
    const std::string& basePath = client->fileManager()->basePath();
    if (basePath.empty()) return false;
    const std::string base = normalizedPath(basePath);
    const std::string candidate = normalizedPath(path);
    if (candidate.compare(0, base.size(), base) != 0) return false;
    return candidate.size() == base.size() || candidate[base.size()] == '/' || base == "/";
}

std::shared_ptr<SpanImpl> FileIOTracker::spanForPath(const std::string& path,
                                                     const std::string& operation, uint64_t size) {
    if (!isEnabled() || isOwnStoragePath(path)) return nullptr;

    std::string description(platform::lastPathComponent(path));
    if (size != 0) description += " (" + byteCountDescription(size) + ")";
    auto span = startAutoChild(operation, description, kOrigin);
    if (!span) {
        SKALD_LOG_DEBUG("No transaction bound to scope. Won't track file IO operation.");
        return nullptr;
    }
    SKALD_LOG_DEBUG(
        "SkaldNSDataTracker automatically started a new span with description: %s, "
        "operation: %s",
        description.c_str(), operation.c_str());
    span->setData("file.path", path);
    addMainThreadInfo(*span, true);
    return span;
}

namespace {

/// Tracking is a by-product: when it fails the host's I/O goes on untracked.
template <typename Body>
void tracked(const char* what, Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& exception) {
        SKALD_LOG_ERROR("Could not %s a file I/O span: %s", what, exception.what());
    } catch (...) {
        SKALD_LOG_ERROR("Could not %s a file I/O span.", what);
    }
}

void finishSpan(SpanImpl& span, uint64_t size, SpanStatus status) {
    span.setData("file.size", size);
    span.finish(status);
    SKALD_LOG_DEBUG("SkaldNSDataTracker automatically finished span %s",
                    span.spanId().value().c_str());
}

}  // namespace

bool FileIOTracker::measureWrite(const std::string& data, const std::string& path,
                                 const Write& write) {
    std::shared_ptr<SpanImpl> span;
    tracked("start", [&] { span = spanForPath(path, kOperationWrite, data.size()); });
    bool written = false;
    try {
        written = write(data, path);
    } catch (const std::exception& exception) {
        SKALD_LOG_ERROR("Could not write %s: %s", path.c_str(), exception.what());
    } catch (...) {
        SKALD_LOG_ERROR("Could not write %s.", path.c_str());
    }
    if (span) {
        tracked("finish", [&] {
            finishSpan(*span, data.size(), written ? SpanStatus::Ok : SpanStatus::InternalError);
        });
    }
    return written;
}

std::optional<std::string> FileIOTracker::measureRead(const std::string& path, const Read& read) {
    const ReadNestingGuard nesting;
    std::shared_ptr<SpanImpl> span;
    if (nesting.outermost()) tracked("start", [&] { span = spanForPath(path, kOperationRead, 0); });
    std::optional<std::string> contents;
    try {
        contents = read(path);
    } catch (const std::exception& exception) {
        SKALD_LOG_ERROR("Could not read %s: %s", path.c_str(), exception.what());
    } catch (...) {
        SKALD_LOG_ERROR("Could not read %s.", path.c_str());
    }
    if (span) {
        tracked("finish",
                [&] { finishSpan(*span, contents ? contents->size() : 0, SpanStatus::Ok); });
    }
    return contents;
}

// The public helpers: nothing escapes into the host.

std::optional<std::string> readFileData(const std::string& path) {
    try {
        return FileIOTracker::shared()->measureRead(path, file_data_detail::readUntracked);
    } catch (const std::exception& exception) {
        SKALD_LOG_ERROR("Could not read %s: %s", path.c_str(), exception.what());
    } catch (...) {
        SKALD_LOG_ERROR("Could not read %s.", path.c_str());
    }
    return std::nullopt;
}

bool writeFileData(const std::string& data, const std::string& path, bool atomically) {
    try {
        return FileIOTracker::shared()->measureWrite(
            data, path, [atomically](const std::string& bytes, const std::string& target) {
                return file_data_detail::writeUntracked(bytes, target, atomically);
            });
    } catch (const std::exception& exception) {
        SKALD_LOG_ERROR("Could not write %s: %s", path.c_str(), exception.what());
    } catch (...) {
        SKALD_LOG_ERROR("Could not write %s.", path.c_str());
    }
    return false;
}

std::optional<std::string> readFileDataFromUrl(const std::string& fileUrl) {
    try {
        const auto path = file_data_detail::pathOfFileUrl(fileUrl);
        if (!path) {
            SKALD_LOG_DEBUG("Not reading %s: only local file URLs are read.", fileUrl.c_str());
            return std::nullopt;
        }
        // The path helper runs nested, so the read is recorded once, here.
        return FileIOTracker::shared()->measureRead(*path, readFileData);
    } catch (const std::exception& exception) {
        SKALD_LOG_ERROR("Could not read %s: %s", fileUrl.c_str(), exception.what());
    } catch (...) {
        SKALD_LOG_ERROR("Could not read %s.", fileUrl.c_str());
    }
    return std::nullopt;
}

}  // namespace skald
