// Async-signal-safe: the names of crash report files, and the next report ID.
#pragma once

#include <cstdint>

namespace skald::crash {

/// Set by the report store. A "/" in the application name becomes "-", so
/// that report files always lie directly in the reports directory.
void setReportPathsBase(const char* appName, const char* reportsPath);
const char* reportsDirectory();
const char* reportsAppName();

/// The ID the next report takes; each report takes the next one. The report
/// store seeds it from the time of day, so that IDs differ between launches.
void setNextReportId(uint64_t id);

/// "<dir>/<app>-report-<16 hex digits>.json" with a fresh ID; false when it
/// does not fit.
bool nextCrashReportPath(char* buffer, int capacity);
/// The same name for a given ID.
bool crashReportPathForId(uint64_t reportId, char* buffer, int capacity);
/// "<dir>/<app>-report-<16 hex digits>-attachments" for a report's path.
bool attachmentsPathForReport(const char* reportPath, char* buffer, int capacity);
/// The ID in a file name "<app>-report-<hex>.json"; 0 when it is not one.
uint64_t reportIdFromFileName(const char* fileName);

}  // namespace skald::crash
