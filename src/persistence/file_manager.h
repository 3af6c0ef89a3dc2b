#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/data_category.h"
#include "skald/date.h"
#include "skald/error.h"
#include "skald/json.h"

namespace skald {

class AppState;
class DispatchQueueWrapper;
class Envelope;
class EnvelopeItem;
class Options;
class Session;

/// A stored file: its full path and its bytes.
struct FileContents {
    std::string path;
    std::string contents;
};

/// Told about every envelope item deleted to make room in the cache.
class FileManagerDelegate {
  public:
    virtual ~FileManagerDelegate() = default;
    virtual void envelopeItemDeleted(const std::shared_ptr<const EnvelopeItem>& item,
                                     DataCategory category) = 0;
};

/// Everything the SDK keeps on disk between sends and between launches.
/// Files are private to the user (0600, folders 0700) and written atomically.
class FileManager : public std::enable_shared_from_this<FileManager> {
  public:
    /// The folder name used under the cache and application-support directories.
    static constexpr const char* kDirectoryName = "io.skald";

    /// Nothing (and `error` set) when the cache folders cannot be created.
    static std::shared_ptr<FileManager> make(const Options& options,
                                             std::shared_ptr<DispatchQueueWrapper> queue,
                                             Error* error = nullptr);

    void setDelegate(std::weak_ptr<FileManagerDelegate> delegate);

    // Envelopes.
    /// The stored file's path; empty when the envelope could not be written.
    std::string storeEnvelope(const Envelope& envelope);
    std::optional<FileContents> getOldestEnvelope();
    std::vector<FileContents> getAllEnvelopes();
    /// Purges envelopes older than 90 days of every DSN, on the dispatch queue.
    void deleteOldEnvelopeItems();
    void deleteAllEnvelopes();
    void removeFileAtPath(const std::string& path);
    void deleteAllFolders();
    void clearDiskState();

    // Sessions.
    void storeCurrentSession(const Session& session);
    void storeCrashedSession(const Session& session);
    std::shared_ptr<Session> readCurrentSession();
    std::shared_ptr<Session> readCrashedSession();
    void deleteCurrentSession();
    void deleteCrashedSession();

    // The time the application was last in the foreground.
    void storeTimestampLastInForeground(Date date);
    std::optional<Date> readTimestampLastInForeground();
    void deleteTimestampLastInForeground();

    // App state of this and the previous launch.
    void storeAppState(const AppState& appState);
    std::shared_ptr<AppState> readAppState();
    std::shared_ptr<AppState> readPreviousAppState();
    void moveAppStateToPreviousAppState();
    void deleteAppState();

    // Breadcrumbs written by the breadcrumb writer, one JSON object per line.
    void moveBreadcrumbsToPreviousBreadcrumbs();
    std::vector<Json> readPreviousBreadcrumbs();

    // Time zone offset in seconds.
    void storeTimezoneOffset(int64_t offset);
    std::optional<int64_t> readTimezoneOffset();
    void deleteTimezoneOffset();

    // Helpers.
    static bool createDirectoryAtPath(const std::string& path, Error* error = nullptr);
    bool writeData(std::string_view data, const std::string& path);
    std::vector<std::string> allFilesInFolder(const std::string& path);
    std::vector<FileContents> allFilesContentInFolder(const std::string& path);
    std::optional<std::string> getEnvelopesPath(const std::string& entryPath);
    void deleteOldEnvelopesFromAllSkaldPaths();
    void deleteOldEnvelopesFromPath(const std::string& envelopesPath);
    void handleEnvelopesLimit();
    /// "<seconds.micro>-<counter>-<UUID>.json": sorted by text, names order by time.
    std::string uniqueAscendingJsonName();

    // Paths.
    const std::string& basePath() const { return basePath_; }
    const std::string& skaldPath() const { return skaldPath_; }
    const std::string& envelopesPath() const { return envelopesPath_; }
    const std::string& currentSessionFilePath() const { return currentSessionFilePath_; }
    const std::string& crashedSessionFilePath() const { return crashedSessionFilePath_; }
    const std::string& lastInForegroundFilePath() const { return lastInForegroundFilePath_; }
    const std::string& appStateFilePath() const { return appStateFilePath_; }
    const std::string& previousAppStateFilePath() const { return previousAppStateFilePath_; }
    const std::string& breadcrumbsFilePathOne() const { return breadcrumbsFilePathOne_; }
    const std::string& breadcrumbsFilePathTwo() const { return breadcrumbsFilePathTwo_; }
    const std::string& previousBreadcrumbsFilePathOne() const {
        return previousBreadcrumbsFilePathOne_;
    }
    const std::string& previousBreadcrumbsFilePathTwo() const {
        return previousBreadcrumbsFilePathTwo_;
    }
    const std::string& timezoneOffsetFilePath() const { return timezoneOffsetFilePath_; }
    const std::string& applicationSupportPath() const { return applicationSupportPath_; }

    size_t maxEnvelopes() const { return maxEnvelopes_; }
    /// Larger envelope files are neither stored nor read back.
    uint64_t maxEnvelopeFileBytes() const { return maxEnvelopeFileBytes_; }
    void setMaxEnvelopeFileBytes(uint64_t max) { maxEnvelopeFileBytes_ = max; }
    void setMaxEnvelopes(size_t max) { maxEnvelopes_ = max; }

    FileManager(const Options& options, std::shared_ptr<DispatchQueueWrapper> queue);

  private:
    bool setUp(Error* error);
    void storeSession(const Session& session, const std::string& path);
    std::shared_ptr<Session> readSession(const std::string& path);
    void deleteSession(const std::string& path);
    std::shared_ptr<AppState> readAppStateFrom(const std::string& path);
    void moveState(const std::string& state, const std::string& previous);
    void removeFileUnlocked(const std::string& path);
    std::optional<std::string> readFile(const std::string& path, uint64_t maxBytes);
    /// The regular files of the envelope folder, oldest first; other entries are removed.
    std::vector<std::string> envelopeFileNames();
    void reportDeletedItems(const Envelope& envelope, bool sessionInitMigrated);

    std::string basePath_;
    std::string skaldPath_;
    std::string envelopesPath_;
    std::string eventsPath_;
    std::string currentSessionFilePath_;
    std::string crashedSessionFilePath_;
    std::string lastInForegroundFilePath_;
    std::string appStateFilePath_;
    std::string previousAppStateFilePath_;
    std::string breadcrumbsFilePathOne_;
    std::string breadcrumbsFilePathTwo_;
    std::string previousBreadcrumbsFilePathOne_;
    std::string previousBreadcrumbsFilePathTwo_;
    std::string timezoneOffsetFilePath_;
    std::string applicationSupportPath_;

    uint64_t currentFileCounter_ = 0;
    size_t maxEnvelopes_ = 30;
    // Under lock_: see handleEnvelopesLimit.
    static constexpr size_t kStoresBetweenListings = 64;
    std::optional<size_t> envelopeCountBound_;
    size_t storesSinceListing_ = 0;
    uint64_t maxEnvelopeFileBytes_ = 0;
    std::shared_ptr<DispatchQueueWrapper> dispatchQueue_;
    std::weak_ptr<FileManagerDelegate> delegate_;

    // Envelope storing, listing, reading and removal.
    std::recursive_mutex lock_;
    // One lock per state file (both session files share one, both breadcrumb files share one).
    std::mutex sessionLock_;
    std::mutex lastInForegroundLock_;
    std::mutex appStateLock_;
    std::mutex breadcrumbsLock_;
    std::mutex timezoneLock_;
};

}  // namespace skald
