// Async-signal-safe: fixed buffers, an atomic counter, and text built by hand.
#include "crash/async_safe/report_paths.h"

#include <atomic>
#include <cstring>

#include "crash/async_safe/text_format.h"

namespace skald::crash {

namespace {

constexpr int kNameSize = 500;

char gDirectory[kNameSize];
char gAppName[kNameSize];
std::atomic<uint64_t> gNextId{1};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

bool reportPath(uint64_t reportId, const char* suffix, char* buffer, int capacity) {
    int used = 0;
    if (capacity <= 0) return false;
    buffer[0] = '\0';
    return text::append(buffer, capacity, &used, gDirectory) &&
           text::append(buffer, capacity, &used, "/") &&
           text::append(buffer, capacity, &used, gAppName) &&
           text::append(buffer, capacity, &used, "-report-") &&
           text::appendHex(buffer, capacity, &used, reportId, 16) &&
           text::append(buffer, capacity, &used, suffix);
}

/// The ID from "<hex>" followed by exactly `suffix`; 0 otherwise.
uint64_t parseHexWithSuffix(const char* text, const char* suffix) {
    uint64_t value = 0;
    int digits = 0;
    for (; *text != '\0'; ++text, ++digits) {
        const char c = *text;
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) break;
        if (digits >= 16) return 0;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    if (digits == 0 || std::strcmp(text, suffix) != 0) return 0;
    return value;
}

}  // namespace

void setReportPathsBase(const char* appName, const char* reportsPath) {
    text::copyString(gAppName, kNameSize, appName);
    for (char* c = gAppName; *c != '\0'; ++c) {
        if (*c == '/') *c = '-';
    }
    text::copyString(gDirectory, kNameSize, reportsPath);
}

const char* reportsDirectory() {
    return gDirectory;
}

const char* reportsAppName() {
    return gAppName;
}

void setNextReportId(uint64_t id) {
    gNextId = id;
}

bool nextCrashReportPath(char* buffer, int capacity) {
    return reportPath(gNextId.fetch_add(1), ".json", buffer, capacity);
}

bool crashReportPathForId(uint64_t reportId, char* buffer, int capacity) {
    return reportPath(reportId, ".json", buffer, capacity);
}

bool attachmentsPathForReport(const char* reportPath, char* buffer, int capacity) {
    const char* name = std::strrchr(reportPath, '/');
    name = name != nullptr ? name + 1 : reportPath;
    const uint64_t reportId = reportIdFromFileName(name);
    if (reportId == 0) return false;
    return crash::reportPath(reportId, "-attachments", buffer, capacity);
}

uint64_t reportIdFromFileName(const char* fileName) {
    const size_t appLength = std::strlen(gAppName);
    if (std::strncmp(fileName, gAppName, appLength) != 0) return 0;
    const char* rest = fileName + appLength;
    static const char kInfix[] = "-report-";
    if (std::strncmp(rest, kInfix, sizeof kInfix - 1) != 0) return 0;
    return parseHexWithSuffix(rest + sizeof kInfix - 1, ".json");
}

}  // namespace skald::crash
