#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace skald::crash {

/// Stored crash reports: "<dir>/<app>-report-<id>.json", oldest ID first.
/// One mutex serialises these calls; the crash path only takes a path from
/// report_paths.h.

/// Creates the directory, prunes to the maximum count and seeds the IDs.
void initializeReportStore(const char* appName, const char* reportsPath);
/// Applies at the next initialisation; 5 by default.
void setMaxReportCount(int maxReportCount);
int reportCount();
/// Up to `capacity` IDs, ascending; returns how many.
int reportIds(uint64_t* ids, int capacity);
/// The report's text, or nothing when it is missing, over 2000000 bytes or
/// not a regular file (such an entry is removed).
std::optional<std::string> readReport(uint64_t reportId);
/// Stores `report` under a new ID; 0 on failure.
uint64_t addUserReport(const char* report, int length);
void deleteAllReports();
/// Removes the report and its attachments directory.
void deleteReportWithId(uint64_t reportId);

}  // namespace skald::crash
