#include "persistence/file_manager.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstring>
#include <filesystem>

#include "envelope/migrate_session_init.h"
#include "platform/base/text_lines.h"
#include "skald/app_state.h"
#include "skald/dsn.h"
#include "skald/envelope.h"
#include "skald/id.h"
#include "skald/options.h"
#include "skald/platform/paths.h"
#include "skald/serialization.h"
#include "skald/session.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/file_io.h"
#include "util/iso8601.h"
#include "util/json_bytes.h"
#include "util/log.h"

namespace skald {

namespace fs = std::filesystem;

namespace {

constexpr double kMaxEnvelopeAgeSeconds = 7776000;  // 90 days

// Bounds for reading back what the manager wrote: anything larger is not ours.
// Sessions, app state, timestamps and offsets are a few kilobytes at most.
constexpr uint64_t kMaxStateFileBytes = 1024 * 1024;
// One breadcrumb file holds at most the scope's breadcrumbs, one per line.
constexpr uint64_t kMaxBreadcrumbFileBytes = 8 * 1024 * 1024;
// An envelope holds an event with a few attachments of up to the options'
// maxAttachmentSize (20 MiB by default) each.
constexpr uint64_t kMinEnvelopeFileBytes = 64 * 1024 * 1024;

std::string join(const std::string& folder, const std::string& name) {
    return (fs::path(folder) / name).string();
}

std::string errnoText(int error) {
    return std::strerror(error);
}

// When the file was made: the birth time where the file system keeps one,
// else the modification time.
std::optional<Date> creationDate(const std::string& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &info) !=
        0) {
        return std::nullopt;
    }
    const auto& stamp = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime;
    return Date(std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec));
}

// Like create_directories, but every folder it makes is private to the user.
bool createPrivateDirectories(const std::string& path, std::string* problem) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return true;
    fs::path partial;
    for (const auto& part : fs::path(path)) {
        partial /= part;
        if (fs::is_directory(partial, ec)) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            if (problem) *problem = partial.string() + ": " + errnoText(errno);
            return false;
        }
    }
    if (!fs::is_directory(path, ec)) {
        if (problem) *problem = path + " is not a folder";
        return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<FileManager> FileManager::make(const Options& options,
                                               std::shared_ptr<DispatchQueueWrapper> queue,
                                               Error* error) {
    auto manager = std::make_shared<FileManager>(options, std::move(queue));
    if (!manager->setUp(error)) return nullptr;
    return manager;
}

FileManager::FileManager(const Options& options, std::shared_ptr<DispatchQueueWrapper> queue)
    : maxEnvelopes_(options.maxCacheItems),
      maxEnvelopeFileBytes_(std::max<uint64_t>(kMinEnvelopeFileBytes,
                                               uint64_t{options.maxAttachmentSize} + (1u << 20))),
      dispatchQueue_(std::move(queue)) {
    basePath_ = join(options.cacheDirectoryPath, kDirectoryName);
    // Without a DSN there is no hash; such a manager still works in one fixed folder.
    const std::string hash = options.parsedDsn ? options.parsedDsn->getHash() : "no-dsn";
    skaldPath_ = join(basePath_, hash);
    SKALD_LOG_DEBUG("SkaldFileManager.cachePath: %s", skaldPath_.c_str());

    envelopesPath_ = join(skaldPath_, "envelopes");
    eventsPath_ = join(skaldPath_, "events");
    currentSessionFilePath_ = join(skaldPath_, "session.current");
    crashedSessionFilePath_ = join(skaldPath_, "session.crashed");
    lastInForegroundFilePath_ = join(skaldPath_, "lastInForeground.timestamp");
    appStateFilePath_ = join(skaldPath_, "app.state");
    previousAppStateFilePath_ = join(skaldPath_, "previous.app.state");
    breadcrumbsFilePathOne_ = join(skaldPath_, "breadcrumbs.1.state");
    breadcrumbsFilePathTwo_ = join(skaldPath_, "breadcrumbs.2.state");
    previousBreadcrumbsFilePathOne_ = join(skaldPath_, "previous.breadcrumbs.1.state");
    previousBreadcrumbsFilePathTwo_ = join(skaldPath_, "previous.breadcrumbs.2.state");
    timezoneOffsetFilePath_ = join(skaldPath_, "timezone.offset");
    applicationSupportPath_ = join(platform::Paths::applicationSupportDirectory(), kDirectoryName);
}

bool FileManager::setUp(Error* error) {
    std::error_code ignored;
    fs::remove_all(eventsPath_, ignored);
    for (const auto* path : {&skaldPath_, &envelopesPath_, &applicationSupportPath_}) {
        if (!createDirectoryAtPath(*path)) {
            if (error) {
                *error = Error::skald(ErrorCode::CouldNotCreateDirectory,
                                      "Failed to create the directory at path " + *path + ".");
            }
            return false;
        }
    }
    currentFileCounter_ = 0;
    return true;
}

void FileManager::setDelegate(std::weak_ptr<FileManagerDelegate> delegate) {
    std::lock_guard guard(lock_);
    delegate_ = std::move(delegate);
}

bool FileManager::createDirectoryAtPath(const std::string& path, Error* error) {
    std::string problem;
    if (createPrivateDirectories(path, &problem)) return true;
    if (error) *error = Error::skald(ErrorCode::CouldNotCreateDirectory, problem);
    return false;
}

bool FileManager::writeData(std::string_view data, const std::string& path) {
    std::string problem;
    if (!createPrivateDirectories(skaldPath_, &problem)) {
        SKALD_LOG_ERROR("File I/O not available at path %s: %s", skaldPath_.c_str(),
                        problem.c_str());
        return false;
    }
    if (!writeFileAtomically(path, data, 0600, &problem)) {
        SKALD_LOG_ERROR("Failed to write data to path %s: %s", path.c_str(), problem.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> FileManager::readFile(const std::string& path, uint64_t maxBytes) {
    return readOwnFile(path, maxBytes);
}

std::string FileManager::uniqueAscendingJsonName() {
    const double now = timeIntervalSince1970(currentDate());
    char name[128];
    std::snprintf(name, sizeof name, "%f-%05" PRIu64 "-%s.json", now, currentFileCounter_++,
                  Id().uuidString().c_str());
    return name;
}

// --- Envelopes ---------------------------------------------------------------

std::string FileManager::storeEnvelope(const Envelope& envelope) {
    const auto data = Serialization::dataWithEnvelope(envelope);
    std::lock_guard guard(lock_);
    if (data && data->size() > maxEnvelopeFileBytes_) {
        // It would be refused when read back: drop it now and say what was lost.
        SKALD_LOG_WARNING("Envelope of %zu bytes is larger than the %llu bytes the cache keeps.",
                          data->size(), static_cast<unsigned long long>(maxEnvelopeFileBytes_));
        reportDeletedItems(envelope, false);
        return {};
    }
    const std::string path = join(envelopesPath_, uniqueAscendingJsonName());
    SKALD_LOG_DEBUG("Writing envelope to path: %s", path.c_str());
    if (!data || !writeData(*data, path)) {
        SKALD_LOG_WARNING("Failed to store envelope.");
        return {};
    }
    handleEnvelopesLimit();
    return path;
}

std::vector<std::string> FileManager::allFilesInFolder(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        SKALD_LOG_INFO("Returning empty files list, as folder doesn't exist at path: %s",
                       path.c_str());
        return {};
    }
    std::vector<std::string> names;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        auto name = it->path().filename().string();
        // A write in progress is never an envelope.
        if (!isAtomicWriteTemporaryName(name)) names.push_back(std::move(name));
    }
    if (ec) {
        SKALD_LOG_ERROR("Couldn't load files in folder %s: %s", path.c_str(), ec.message().c_str());
        return {};
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const int order = ::strcasecmp(a.c_str(), b.c_str());
        return order != 0 ? order < 0 : a < b;
    });
    return names;
}

std::vector<std::string> FileManager::envelopeFileNames() {
    auto names = allFilesInFolder(envelopesPath_);
    // The folder is the SDK's own: anything but a regular file is no envelope
    // and must neither stand first in line nor count towards the limit.
    std::erase_if(names, [this](const std::string& name) {
        const std::string path = join(envelopesPath_, name);
        std::error_code ec;
        const auto type = fs::symlink_status(path, ec).type();
        if (ec || type == fs::file_type::regular) return false;
        removeForeignEntry(path, path + " is not a regular file");
        return true;
    });
    return names;
}

std::vector<FileContents> FileManager::allFilesContentInFolder(const std::string& path) {
    std::lock_guard guard(lock_);
    std::vector<FileContents> result;
    for (const auto& name : allFilesInFolder(path)) {
        const std::string file = join(path, name);
        // What is no regular file, or too large, is skipped and removed.
        if (auto contents = readFile(file, maxEnvelopeFileBytes_)) {
            result.push_back({file, std::move(*contents)});
        }
    }
    return result;
}

std::optional<FileContents> FileManager::getOldestEnvelope() {
    std::lock_guard guard(lock_);
    // An unreadable file is skipped, so that it never holds back the others.
    for (const auto& name : envelopeFileNames()) {
        const std::string path = join(envelopesPath_, name);
        if (auto contents = readFile(path, maxEnvelopeFileBytes_)) {
            return FileContents{path, std::move(*contents)};
        }
    }
    return std::nullopt;
}

std::vector<FileContents> FileManager::getAllEnvelopes() {
    return allFilesContentInFolder(envelopesPath_);
}

void FileManager::reportDeletedItems(const Envelope& envelope, bool sessionInitMigrated) {
    const auto delegate = delegate_.lock();
    if (!delegate) return;
    for (const auto& item : envelope.items()) {
        if (sessionInitMigrated && item->header()->type() == "session") continue;
        delegate->envelopeItemDeleted(item,
                                      dataCategoryForEnvelopeItemType(item->header()->type()));
    }
}

void FileManager::handleEnvelopesLimit() {
    std::lock_guard guard(lock_);
    // Listing the folder cost more than the write itself. What the last
    // listing found plus this process's stores since is an upper bound
    // (removals only lower it), so below the limit there is nothing to do;
    // a listing now and then catches what other processes wrote.
    if (envelopeCountBound_ && storesSinceListing_ < kStoresBetweenListings &&
        *envelopeCountBound_ + 1 <= maxEnvelopes_) {
        ++*envelopeCountBound_;
        ++storesSinceListing_;
        return;
    }
    const auto names = envelopeFileNames();
    storesSinceListing_ = 0;
    envelopeCountBound_ = names.size();
    if (names.size() <= maxEnvelopes_) return;
    // A removal that fails would make the bound too low: list again next time.
    envelopeCountBound_.reset();

    const size_t excess = names.size() - maxEnvelopes_;
    for (size_t i = 0; i < excess; ++i) {
        const std::string path = join(envelopesPath_, names[i]);
        const auto contents = readFile(path, maxEnvelopeFileBytes_);
        const auto envelope = contents ? Serialization::envelopeWithData(*contents) : nullptr;
        if (envelope) {
            const std::vector<std::string> others(names.begin() + static_cast<long>(i) + 1,
                                                  names.end());
            const bool migrated =
                migrateSessionInit(*envelope, envelopesPath_, others, maxEnvelopeFileBytes_);
            reportDeletedItems(*envelope, migrated);
        }
        removeFileUnlocked(path);
    }
    SKALD_LOG_DEBUG("Removed %zu file(s) from <%s>", excess, envelopesPath_.c_str());
}

void FileManager::deleteOldEnvelopeItems() {
    std::weak_ptr<FileManager> weak = weak_from_this();
    dispatchQueue_->dispatchAsync([weak] {
        auto self = weak.lock();
        if (!self) return;
        SKALD_LOG_DEBUG("Dispatched deletion of old envelopes from %s", self->basePath_.c_str());
        self->deleteOldEnvelopesFromAllSkaldPaths();
    });
}

void FileManager::deleteOldEnvelopesFromAllSkaldPaths() {
    std::error_code ec;
    for (fs::directory_iterator it(basePath_, ec), end; !ec && it != end; it.increment(ec)) {
        if (auto envelopes = getEnvelopesPath(it->path().string())) {
            deleteOldEnvelopesFromPath(*envelopes);
        }
    }
}

std::optional<std::string> FileManager::getEnvelopesPath(const std::string& entryPath) {
    if (entryPath.ends_with(".DS_Store")) {
        SKALD_LOG_DEBUG("Ignoring .DS_Store file when building envelopes path at path: %s",
                        entryPath.c_str());
        return std::nullopt;
    }
    // A symlink is not followed: it may lead out of the SDK's folders.
    struct stat info {};
    if (::lstat(entryPath.c_str(), &info) != 0) {
        SKALD_LOG_WARNING("Could not get attributes of item at path: %s. Error: %s",
                          entryPath.c_str(), errnoText(errno).c_str());
        return std::nullopt;
    }
    if (!S_ISDIR(info.st_mode)) {
        SKALD_LOG_DEBUG("Ignoring non directory when deleting old envelopes at path: %s",
                        entryPath.c_str());
        return std::nullopt;
    }
    if (entryPath.ends_with("envelopes")) return entryPath;
    return join(entryPath, "envelopes");
}

void FileManager::deleteOldEnvelopesFromPath(const std::string& envelopesPath) {
    // Only a real folder: through a symlink the purge would reach other files.
    std::error_code ec;
    if (fs::symlink_status(envelopesPath, ec).type() != fs::file_type::directory) {
        SKALD_LOG_DEBUG("Ignoring non directory when deleting old envelopes at path: %s",
                        envelopesPath.c_str());
        return;
    }
    const Date now = currentDate();
    for (const auto& name : allFilesInFolder(envelopesPath)) {
        const std::string path = join(envelopesPath, name);
        const auto created = creationDate(path);
        if (!created) {
            SKALD_LOG_WARNING("Could not get NSFileCreationDate from %s", path.c_str());
            continue;
        }
        const double age = std::chrono::duration<double>(now - *created).count();
        if (age > kMaxEnvelopeAgeSeconds) {
            removeFileAtPath(path);
            SKALD_LOG_DEBUG("Removed envelope at path %s because it was older than 90 days",
                            path.c_str());
        }
    }
}

void FileManager::removeFileAtPath(const std::string& path) {
    std::lock_guard guard(lock_);
    removeFileUnlocked(path);
}

void FileManager::removeFileUnlocked(const std::string& path) {
    std::error_code ec;
    if (fs::remove(path, ec)) {
        SKALD_LOG_DEBUG("Successfully deleted file at %s", path.c_str());
    } else if (!ec) {
        SKALD_LOG_DEBUG("No file to delete at %s", path.c_str());
    } else {
        SKALD_LOG_ERROR("Error occurred while deleting file at %s because of %s", path.c_str(),
                        ec.message().c_str());
    }
}

void FileManager::deleteAllEnvelopes() {
    std::lock_guard guard(lock_);
    std::error_code ec;
    fs::remove_all(envelopesPath_, ec);
    if (!createDirectoryAtPath(envelopesPath_)) {
        SKALD_LOG_ERROR("Couldn't create envelopes path.");
    }
}

void FileManager::deleteAllFolders() {
    std::lock_guard guard(lock_);
    std::error_code ec;
    fs::remove_all(skaldPath_, ec);
}

void FileManager::clearDiskState() {
    std::lock_guard guard(lock_);
    std::error_code ec;
    fs::remove_all(basePath_, ec);
    fs::remove_all(applicationSupportPath_, ec);
}

// --- Sessions ------------------------------------------------------------------

void FileManager::storeCurrentSession(const Session& session) {
    storeSession(session, currentSessionFilePath_);
}
void FileManager::storeCrashedSession(const Session& session) {
    storeSession(session, crashedSessionFilePath_);
}
std::shared_ptr<Session> FileManager::readCurrentSession() {
    return readSession(currentSessionFilePath_);
}
std::shared_ptr<Session> FileManager::readCrashedSession() {
    return readSession(crashedSessionFilePath_);
}
void FileManager::deleteCurrentSession() {
    deleteSession(currentSessionFilePath_);
}
void FileManager::deleteCrashedSession() {
    deleteSession(crashedSessionFilePath_);
}

void FileManager::storeSession(const Session& session, const std::string& path) {
    const auto data = Serialization::dataWithSession(session);
    std::lock_guard guard(sessionLock_);
    SKALD_LOG_DEBUG("Writing session: %s", path.c_str());
    if (!data || !writeData(*data, path)) SKALD_LOG_WARNING("Failed to write session data.");
}

std::shared_ptr<Session> FileManager::readSession(const std::string& path) {
    std::lock_guard guard(sessionLock_);
    SKALD_LOG_DEBUG("Reading from session: %s", path.c_str());
    const auto data = readFile(path, kMaxStateFileBytes);
    if (!data) {
        SKALD_LOG_WARNING("No data found at %s", path.c_str());
        return nullptr;
    }
    auto session = Serialization::sessionWithData(*data);
    if (!session) {
        SKALD_LOG_ERROR("Data stored in session: '%s' was not parsed as session.", path.c_str());
    }
    return session;
}

void FileManager::deleteSession(const std::string& path) {
    std::lock_guard guard(sessionLock_);
    SKALD_LOG_DEBUG("Deleting session: %s", path.c_str());
    removeFileAtPath(path);
}

// --- Last time in foreground ---------------------------------------------------

void FileManager::storeTimestampLastInForeground(Date date) {
    const std::string text = formatIso8601Timestamp(date);
    std::lock_guard guard(lastInForegroundLock_);
    SKALD_LOG_DEBUG("Persisting lastInForeground: %s", text.c_str());
    if (!writeData(text, lastInForegroundFilePath_)) {
        SKALD_LOG_WARNING("Failed to store timestamp of last foreground event.");
    }
}

std::optional<Date> FileManager::readTimestampLastInForeground() {
    std::lock_guard guard(lastInForegroundLock_);
    SKALD_LOG_DEBUG("Reading timestamp of last in foreground at: %s",
                    lastInForegroundFilePath_.c_str());
    const auto text = readFile(lastInForegroundFilePath_, kMaxStateFileBytes);
    if (!text) {
        SKALD_LOG_DEBUG("No lastInForeground found.");
        return std::nullopt;
    }
    return parseIso8601Timestamp(*text);
}

void FileManager::deleteTimestampLastInForeground() {
    std::lock_guard guard(lastInForegroundLock_);
    SKALD_LOG_DEBUG("Deleting LastInForeground at: %s", lastInForegroundFilePath_.c_str());
    removeFileAtPath(lastInForegroundFilePath_);
}

// --- App state -----------------------------------------------------------------

void FileManager::storeAppState(const AppState& appState) {
    const auto data = Serialization::dataWithJSONObject(appState.serialize());
    std::lock_guard guard(appStateLock_);
    if (!data) {
        SKALD_LOG_ERROR("Failed to store app state, because of an error in serialization");
        return;
    }
    if (!writeData(*data, appStateFilePath_)) SKALD_LOG_WARNING("Failed to store app state.");
}

std::shared_ptr<AppState> FileManager::readAppState() {
    std::lock_guard guard(appStateLock_);
    return readAppStateFrom(appStateFilePath_);
}

std::shared_ptr<AppState> FileManager::readPreviousAppState() {
    std::lock_guard guard(appStateLock_);
    return readAppStateFrom(previousAppStateFilePath_);
}

std::shared_ptr<AppState> FileManager::readAppStateFrom(const std::string& path) {
    const auto data = readFile(path, kMaxStateFileBytes);
    if (!data) {
        SKALD_LOG_WARNING("No app state data found at %s", path.c_str());
        return nullptr;
    }
    return Serialization::appStateWithData(*data);
}

void FileManager::moveAppStateToPreviousAppState() {
    std::lock_guard guard(appStateLock_);
    moveState(appStateFilePath_, previousAppStateFilePath_);
}

void FileManager::deleteAppState() {
    std::lock_guard guard(appStateLock_);
    removeFileAtPath(appStateFilePath_);
    removeFileAtPath(previousAppStateFilePath_);
}

void FileManager::moveState(const std::string& state, const std::string& previous) {
    SKALD_LOG_DEBUG("Moving state %s to previous %s.", state.c_str(), previous.c_str());
    std::error_code ec;
    fs::remove(previous, ec);
    // A missing state file is nothing to move, not a failure.
    if (!fs::exists(state, ec)) return;
    fs::rename(state, previous, ec);
    if (ec) {
        SKALD_LOG_ERROR("Failed to move %s to previous state file: %s", state.c_str(),
                        ec.message().c_str());
    }
}

// --- Breadcrumbs -----------------------------------------------------------------

void FileManager::moveBreadcrumbsToPreviousBreadcrumbs() {
    std::lock_guard guard(breadcrumbsLock_);
    moveState(breadcrumbsFilePathOne_, previousBreadcrumbsFilePathOne_);
    moveState(breadcrumbsFilePathTwo_, previousBreadcrumbsFilePathTwo_);
}

std::vector<Json> FileManager::readPreviousBreadcrumbs() {
    std::vector<std::string> one;
    std::vector<std::string> two;
    {
        std::lock_guard guard(breadcrumbsLock_);
        if (auto text = readFile(previousBreadcrumbsFilePathOne_, kMaxBreadcrumbFileBytes)) {
            one = platform::splitLines(*text);
        }
        if (auto text = readFile(previousBreadcrumbsFilePathTwo_, kMaxBreadcrumbFileBytes)) {
            two = platform::splitLines(*text);
        }
    }
    if (one.empty() && two.empty()) return {};

    // The writer fills one file, then the other: the fuller file is the older one.
    std::vector<std::string> lines;
    const auto& first = two.size() < one.size() ? one : two;
    const auto& second = two.size() < one.size() ? two : one;
    lines.reserve(first.size() + second.size());
    lines.insert(lines.end(), first.begin(), first.end());
    lines.insert(lines.end(), second.begin(), second.end());

    std::vector<Json> breadcrumbs;
    breadcrumbs.reserve(lines.size());
    for (const auto& line : lines) {
        std::string problem;
        auto json = parseJsonBytes(line, &problem);
        if (!json || !json->is_object()) {
            SKALD_LOG_ERROR("Error deserializing breadcrumb: %s",
                            problem.empty() ? "not a JSON object" : problem.c_str());
            continue;
        }
        breadcrumbs.push_back(std::move(*json));
    }
    return breadcrumbs;
}

// --- Time zone -------------------------------------------------------------------

void FileManager::storeTimezoneOffset(int64_t offset) {
    const std::string text = std::to_string(offset);
    std::lock_guard guard(timezoneLock_);
    SKALD_LOG_DEBUG("Persisting timezone offset: %s", text.c_str());
    if (!writeData(text, timezoneOffsetFilePath_)) {
        SKALD_LOG_WARNING("Failed to store timezone offset.");
    }
}

std::optional<int64_t> FileManager::readTimezoneOffset() {
    std::lock_guard guard(timezoneLock_);
    SKALD_LOG_DEBUG("Reading timezone offset");
    const auto text = readFile(timezoneOffsetFilePath_, kMaxStateFileBytes);
    int64_t offset = 0;
    if (text) {
        const auto* end = text->data() + text->size();
        const auto result = std::from_chars(text->data(), end, offset);
        if (result.ec == std::errc() && result.ptr == end) return offset;
    }
    SKALD_LOG_DEBUG("No timezone offset found.");
    return std::nullopt;
}

void FileManager::deleteTimezoneOffset() {
    std::lock_guard guard(timezoneLock_);
    removeFileAtPath(timezoneOffsetFilePath_);
}

}  // namespace skald
