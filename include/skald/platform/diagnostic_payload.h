#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "skald/date.h"
#include "skald/json.h"

namespace skald::platform {

/// A value in the unit it was measured in ("sec", "ms", "MB", ...).
struct DiagnosticMeasurement {
    double value = 0;
    std::string unit;
};

/// One diagnostic of a payload, kept in its JSON form: an object with a
/// "callStackTree" and the fields of its kind.
class Diagnostic {
  public:
    explicit Diagnostic(Json json) : json_(std::move(json)) {}
    virtual ~Diagnostic() = default;

    /// The diagnostic's own JSON, as delivered.
    const Json& json() const { return json_; }
    std::string jsonRepresentation() const;
    /// The JSON of its call-stack tree; the receiver decodes it.
    std::string callStackTreeJsonRepresentation() const;
    std::optional<std::string> applicationVersion() const;

  private:
    Json json_;
};

/// The process used more CPU than its budget for a while.
/// Fields: "totalCPUTime", "totalSampledTime" (measurements).
class CpuExceptionDiagnostic : public Diagnostic {
  public:
    using Diagnostic::Diagnostic;
    DiagnosticMeasurement totalCPUTime;
    DiagnosticMeasurement totalSampledTime;
};

/// The process wrote more than its budget to storage.
/// Field: "totalWritesCaused" (a measurement).
class DiskWriteExceptionDiagnostic : public Diagnostic {
  public:
    using Diagnostic::Diagnostic;
    DiagnosticMeasurement totalWritesCaused;
};

/// The main thread did not answer for a while. Field: "hangDuration".
class HangDiagnostic : public Diagnostic {
  public:
    using Diagnostic::Diagnostic;
    DiagnosticMeasurement hangDuration;
};

/// The process crashed. Optional fields: "exceptionType", "exceptionCode",
/// "signal" (integers), "terminationReason" (text).
class CrashDiagnostic : public Diagnostic {
  public:
    using Diagnostic::Diagnostic;
    std::optional<int64_t> exceptionType;
    std::optional<int64_t> exceptionCode;
    std::optional<int64_t> signal;
    std::optional<std::string> terminationReason;
};

/// What the system observed over one period, as JSON:
///
///     {"timeStampBegin": <seconds since 1970>, "timeStampEnd": <seconds>,
///      "crashDiagnostics": [...], "diskWriteExceptionDiagnostics": [...],
///      "cpuExceptionDiagnostics": [...], "hangDiagnostics": [...]}
///
/// Every list is optional. A measurement is {"value": <number>, "unit": "<unit>"}.
class DiagnosticPayload {
  public:
    Date timeStampBegin;
    Date timeStampEnd;
    std::vector<std::shared_ptr<const CrashDiagnostic>> crashDiagnostics;
    std::vector<std::shared_ptr<const DiskWriteExceptionDiagnostic>> diskWriteExceptionDiagnostics;
    std::vector<std::shared_ptr<const CpuExceptionDiagnostic>> cpuExceptionDiagnostics;
    std::vector<std::shared_ptr<const HangDiagnostic>> hangDiagnostics;

    /// Longer texts are refused.
    static constexpr size_t kMaxJsonBytes = 16 * 1024 * 1024;
    /// Deeper nesting of arrays and objects is refused (a call stack of
    /// about 500 frames nests twice as deep).
    static constexpr int kMaxJsonNesting = 1100;

    /// One payload object, or an array of them. Nothing (and `error` set)
    /// when the text is not such JSON: a whole text is taken or refused.
    static std::optional<std::vector<DiagnosticPayload>> fromJson(std::string_view text,
                                                                  std::string* error = nullptr);
    /// One payload from its parsed form.
    static std::optional<DiagnosticPayload> fromJsonValue(const Json& json,
                                                          std::string* error = nullptr);
};

}  // namespace skald::platform
