#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "skald/error.h"
#include "skald/json.h"

namespace skald::crash {

/// Error domain of the report filters' failures.
inline constexpr const char* kCrashReportFilterErrorDomain = "SkaldCrashReportFilter";

/// Called once per filter run with the filtered reports, whether the run
/// completed, and what went wrong when it did not.
using CrashReportFilterCompletion =
    std::function<void(std::vector<Json> reports, bool completed, std::optional<Error> error)>;

/// One step that reports pass through on their way out. A filter calls the
/// completion exactly once, possibly later and on another thread.
class CrashReportFilter {
  public:
    virtual ~CrashReportFilter() = default;
    virtual void filterReports(std::vector<Json> reports,
                               CrashReportFilterCompletion onCompletion) = 0;
};

/// The value at a "/"-separated key path ("crash/error/type"); nothing when a
/// step is missing or not an object.
const Json* valueAtKeyPath(const Json& report, std::string_view keyPath);

/// Hands the reports on unchanged.
class CrashReportFilterPassthrough : public CrashReportFilter {
  public:
    void filterReports(std::vector<Json> reports,
                       CrashReportFilterCompletion onCompletion) override;
};

/// Runs every filter on the same reports and joins their outputs per report:
/// report i becomes an object holding, under each filter's key, that filter's
/// output i.
class CrashReportFilterCombine : public CrashReportFilter {
  public:
    CrashReportFilterCombine(std::vector<std::shared_ptr<CrashReportFilter>> filters,
                             std::vector<std::string> keys);

    void filterReports(std::vector<Json> reports,
                       CrashReportFilterCompletion onCompletion) override;

  private:
    std::vector<std::shared_ptr<CrashReportFilter>> filters_;
    std::vector<std::string> keys_;
};

/// Runs the filters one after another, each on the previous one's output.
class CrashReportFilterPipeline : public CrashReportFilter {
  public:
    CrashReportFilterPipeline() = default;
    explicit CrashReportFilterPipeline(std::vector<std::shared_ptr<CrashReportFilter>> filters);

    void addFilter(std::shared_ptr<CrashReportFilter> filter);
    const std::vector<std::shared_ptr<CrashReportFilter>>& filters() const { return filters_; }

    void filterReports(std::vector<Json> reports,
                       CrashReportFilterCompletion onCompletion) override;

  private:
    std::vector<std::shared_ptr<CrashReportFilter>> filters_;
};

/// Replaces each report by its value at a key path. A missing value is an
/// error unless `allowNotFound`, which puts an empty object in its place.
class CrashReportFilterObjectForKey : public CrashReportFilter {
  public:
    CrashReportFilterObjectForKey(std::string key, bool allowNotFound);

    void filterReports(std::vector<Json> reports,
                       CrashReportFilterCompletion onCompletion) override;

  private:
    std::string key_;
    bool allowNotFound_;
};

/// Joins each report's values at the key paths into one text. Between two
/// values goes the separator format with "%@" replaced by the next key path.
class CrashReportFilterConcatenate : public CrashReportFilter {
  public:
    CrashReportFilterConcatenate(std::string separatorFormat, std::vector<std::string> keys);

    void filterReports(std::vector<Json> reports,
                       CrashReportFilterCompletion onCompletion) override;

  private:
    std::string separatorFormat_;
    std::vector<std::string> keys_;
};

/// Keeps only the given key paths of each report, nested as they were;
/// missing ones are left out.
class CrashReportFilterSubset : public CrashReportFilter {
  public:
    explicit CrashReportFilterSubset(std::vector<std::string> keyPaths);

    void filterReports(std::vector<Json> reports,
                       CrashReportFilterCompletion onCompletion) override;

  private:
    std::vector<std::string> keyPaths_;
};

/// Binary reports holding UTF-8 become text; anything else fails the run.
class CrashReportFilterDataToString : public CrashReportFilter {
  public:
    void filterReports(std::vector<Json> reports,
                       CrashReportFilterCompletion onCompletion) override;
};

/// Text reports become their UTF-8 bytes; anything else fails the run.
class CrashReportFilterStringToData : public CrashReportFilter {
  public:
    void filterReports(std::vector<Json> reports,
                       CrashReportFilterCompletion onCompletion) override;
};

}  // namespace skald::crash
