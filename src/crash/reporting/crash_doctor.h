#pragma once

#include <optional>
#include <string>
#include <vector>

#include "skald/json.h"

namespace skald::crash {

/// One parameter of the last call found in a report.
struct CrashDoctorParam {
    std::optional<std::string> className;
    /// The class of the object that lived at the address before it was freed.
    std::optional<std::string> previousClassName;
    bool isInstance = false;
    std::optional<uint64_t> address;
    std::optional<std::string> value;
    std::optional<std::string> type;
};

/// The last call of the crashed thread and what its parameter registers held.
struct CrashDoctorFunctionCall {
    std::optional<std::string> name;
    std::vector<CrashDoctorParam> params;

    /// "name(Class1, Class2 (freed Class3), ...)" with at most `paramCount`
    /// parameters.
    std::string descriptionWithParamCount(size_t paramCount) const;
};

/// Explains in one sentence what most likely caused a stored crash.
class CrashDoctor {
  public:
    /// The first rule that matches the report's "crash" section; nothing
    /// when none does or the report is not an object.
    static std::optional<std::string> diagnoseCrash(const Json& report);

    /// Stores the diagnosis as "diagnosis" in the report's "crash" and, for
    /// a recrash report, in "recrash_report"/"crash". Nothing without one.
    static void addDiagnosis(Json& report);

    /// The crashed thread's last call, from its first backtrace entry and the
    /// notable addresses of the first four parameter registers.
    static CrashDoctorFunctionCall lastFunctionCall(const Json& report);
};

}  // namespace skald::crash
