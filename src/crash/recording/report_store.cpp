#include "crash/recording/report_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/report_paths.h"

namespace skald::crash {

namespace {

constexpr int kMaxReportSize = 2000000;
constexpr int kPathSize = 500;

std::mutex gMutex;
int gMaxReportCount = 5;

std::vector<uint64_t> listIds() {
    std::vector<uint64_t> ids;
    DIR* directory = ::opendir(reportsDirectory());
    if (directory == nullptr) {
        SKALD_LOG_ERROR("Could not open directory %s", reportsDirectory());
        return ids;
    }
    while (const dirent* entry = ::readdir(directory)) {
        const uint64_t reportId = reportIdFromFileName(entry->d_name);
        if (reportId == 0) continue;
        const std::string path = std::string(reportsDirectory()) + "/" + entry->d_name;
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        ids.push_back(reportId);
    }
    ::closedir(directory);
    std::sort(ids.begin(), ids.end());
    return ids;
}

void deleteReportLocked(uint64_t reportId) {
    char path[kPathSize];
    if (!crashReportPathForId(reportId, path, sizeof path)) return;
    removeFile(path, true);
    char attachments[kPathSize];
    if (attachmentsPathForReport(path, attachments, sizeof attachments)) {
        struct stat info {};
        if (::stat(attachments, &info) == 0 && S_ISDIR(info.st_mode)) {
            deleteContentsOfPath(attachments);
            ::rmdir(attachments);
        }
    }
}

}  // namespace

void initializeReportStore(const char* appName, const char* reportsPath) {
    const std::lock_guard lock(gMutex);
    setReportPathsBase(appName, reportsPath);
    makeDirectoryWithParents(reportsPath);
    const std::vector<uint64_t> ids = listIds();
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
    return static_cast<int>(listIds().size());
}

int reportIds(uint64_t* ids, int capacity) {
    const std::lock_guard lock(gMutex);
    const std::vector<uint64_t> found = listIds();
    const int count = std::min(capacity, static_cast<int>(found.size()));
    for (int i = 0; i < count; ++i) ids[i] = found[static_cast<size_t>(i)];
    return count;
}

char* readReport(uint64_t reportId) {
    const std::lock_guard lock(gMutex);
    char path[kPathSize];
    if (!crashReportPathForId(reportId, path, sizeof path)) return nullptr;
    char* data = nullptr;
    int length = 0;
    if (!readEntireFile(path, kMaxReportSize, &data, &length)) return nullptr;
    return data;
}

uint64_t addUserReport(const char* report, int length) {
    const std::lock_guard lock(gMutex);
    char path[kPathSize];
    if (!nextCrashReportPath(path, sizeof path)) return 0;
    const int fd = ::open(path, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        SKALD_LOG_ERROR("Could not open file %s: %s", path, std::strerror(errno));
        return 0;
    }
    const ssize_t written = ::write(fd, report, static_cast<size_t>(length));
    ::close(fd);
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
