#include "crash/recording/report_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/report_paths.h"
#include "platform/base/path.h"
#include "platform/base/unique_fd.h"
#include "util/file_io.h"
#include "util/log.h"

namespace skald::crash {

namespace {

constexpr uint64_t kMaxReportSize = 2000000;
constexpr int kPathSize = 500;

std::mutex gMutex;
int gMaxReportCount = 5;

/// The IDs of the regular files named like reports. Anything else under such
/// a name (a FIFO, a symlink, a folder, a file too large to be read) is no
/// report: it is skipped, and with `removeForeign` removed.
std::vector<uint64_t> listIds(bool removeForeign) {
    std::vector<uint64_t> ids;
    std::vector<std::string> foreign;
    DIR* directory = ::opendir(reportsDirectory());
    if (directory == nullptr) {
        SKALD_LOG_ERROR("Could not open directory %s", reportsDirectory());
        return ids;
    }
    while (const dirent* entry = ::readdir(directory)) {
        const uint64_t reportId = reportIdFromFileName(entry->d_name);
        if (reportId == 0) continue;
        const std::string path =
            platform::appendingPathComponent(reportsDirectory(), entry->d_name);
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) continue;
        if (S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) <= kMaxReportSize) {
            ids.push_back(reportId);
        } else if (removeForeign) {
            foreign.push_back(path);
        }
    }
    ::closedir(directory);
    for (const auto& path : foreign) {
        removeForeignEntry(path, path + " is not a regular file of at most " +
                                     std::to_string(kMaxReportSize) + " bytes");
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

void deleteReportLocked(uint64_t reportId) {
    char path[kPathSize];
    if (!crashReportPathForId(reportId, path, sizeof path)) return;
    removeFile(path, true);
    char attachments[kPathSize];
    if (attachmentsPathForReport(path, attachments, sizeof attachments)) {
        // A symlink in its place goes as a link: its target is not ours to empty.
        std::error_code ignored;
        std::filesystem::remove_all(attachments, ignored);
    }
}

/// Seeds the IDs from the current UTC time, so that they grow by one per
/// report and differ between launches.
void seedNextReportId() {
    const time_t now = ::time(nullptr);
    struct tm utc {};
    ::gmtime_r(&now, &utc);
    const uint32_t base =
        static_cast<uint32_t>(utc.tm_sec) + static_cast<uint32_t>(utc.tm_min) * 61 +
        static_cast<uint32_t>(utc.tm_hour) * 3660 + static_cast<uint32_t>(utc.tm_yday) * 87840 +
        static_cast<uint32_t>(utc.tm_year) * 32149440;
    setNextReportId(static_cast<uint64_t>(base) << 23);
}

}  // namespace

void initializeReportStore(const char* appName, const char* reportsPath) {
    const std::lock_guard lock(gMutex);
    setReportPathsBase(appName, reportsPath);
    makeDirectoryWithParents(reportsPath);
    const std::vector<uint64_t> ids = listIds(true);
    if (static_cast<int>(ids.size()) > gMaxReportCount) {
        const size_t excess = ids.size() - static_cast<size_t>(std::max(gMaxReportCount, 0));
        for (size_t i = 0; i < excess; ++i) deleteReportLocked(ids[i]);
    }
    seedNextReportId();
}

void setMaxReportCount(int maxReportCount) {
    const std::lock_guard lock(gMutex);
    gMaxReportCount = maxReportCount;
}

int reportCount() {
    const std::lock_guard lock(gMutex);
    return static_cast<int>(listIds(false).size());
}

int reportIds(uint64_t* ids, int capacity) {
    const std::lock_guard lock(gMutex);
    const std::vector<uint64_t> found = listIds(false);
    const int count = std::min(capacity, static_cast<int>(found.size()));
    for (int i = 0; i < count; ++i) ids[i] = found[static_cast<size_t>(i)];
    return count;
}

std::optional<std::string> readReport(uint64_t reportId) {
    const std::lock_guard lock(gMutex);
    char path[kPathSize];
    if (!crashReportPathForId(reportId, path, sizeof path)) return std::nullopt;
    // Whatever took the report's place since the listing is removed, not read.
    return readOwnFile(path, kMaxReportSize);
}

uint64_t addUserReport(const char* report, int length) {
    const std::lock_guard lock(gMutex);
    char path[kPathSize];
    if (!nextCrashReportPath(path, sizeof path)) return 0;
    platform::unique_fd fd(::open(path, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        SKALD_LOG_ERROR("Could not open file %s: %s", path, std::strerror(errno));
        return 0;
    }
    const ssize_t written = ::write(fd.get(), report, static_cast<size_t>(length));
    const int writeError = errno;
    fd.reset();
    errno = writeError;
    if (written < 0) {
        SKALD_LOG_ERROR("Could not write to file %s: %s", path, std::strerror(errno));
        return 0;
    }
    if (written != length) {
        SKALD_LOG_ERROR("Expected to write %d bytes to file %s, but only wrote %d", length, path,
                        static_cast<int>(written));
        return 0;
    }
    const char* name = std::strrchr(path, '/');
    return reportIdFromFileName(name != nullptr ? name + 1 : path);
}

void deleteAllReports() {
    const std::lock_guard lock(gMutex);
    deleteContentsOfPath(reportsDirectory());
}

void deleteReportWithId(uint64_t reportId) {
    const std::lock_guard lock(gMutex);
    deleteReportLocked(reportId);
}

}  // namespace skald::crash
