#include "skald/platform/diagnostic_payload.h"

#include <cmath>

namespace skald::platform {

namespace {

// Writing JSON recurses once per level: deep nesting is refused before parsing.
bool nestsDeeperThan(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

std::string dumpNoThrow(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool fail(std::string* error, std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
}

bool readMeasurement(const Json& diagnostic, const char* key, const std::string& where,
                     DiagnosticMeasurement& out, std::string* error) {
    const auto it = diagnostic.find(key);
    if (it == diagnostic.end() || !it->is_object()) {
        return fail(error, where + "." + key + ": expected a measurement object");
    }
    const auto value = it->find("value");
    const auto unit = it->find("unit");
    if (value == it->end() || !value->is_number() || !std::isfinite(value->get<double>())) {
        return fail(error, where + "." + key + ".value: expected a finite number");
    }
    if (unit == it->end() || !unit->is_string()) {
        return fail(error, where + "." + key + ".unit: expected a text");
    }
    out.value = value->get<double>();
    out.unit = unit->get<std::string>();
    return true;
}

bool readInteger(const Json& diagnostic, const char* key, const std::string& where,
                 std::optional<int64_t>& out, std::string* error) {
    const auto it = diagnostic.find(key);
    if (it == diagnostic.end() || it->is_null()) return true;
    if (!it->is_number_integer()) return fail(error, where + "." + key + ": expected an integer");
    out = it->get<int64_t>();
    return true;
}

bool readDate(const Json& payload, const char* key, Date& out, std::string* error) {
    const auto it = payload.find(key);
    if (it == payload.end() || !it->is_number() || !std::isfinite(it->get<double>())) {
        return fail(error, std::string(key) + ": expected seconds since 1970");
    }
    out = dateWithTimeIntervalSince1970(it->get<double>());
    return true;
}

// Reads the list `key` of `payload` into `out`; `fill` reads the kind's own fields.
template <class Kind, class Fill>
bool readDiagnostics(const Json& payload, const char* key,
                     std::vector<std::shared_ptr<const Kind>>& out, std::string* error, Fill fill) {
    const auto list = payload.find(key);
    if (list == payload.end() || list->is_null()) return true;
    if (!list->is_array()) return fail(error, std::string(key) + ": expected an array");
    for (size_t index = 0; index < list->size(); ++index) {
        const Json& entry = (*list)[index];
        const std::string where = std::string(key) + "[" + std::to_string(index) + "]";
        if (!entry.is_object()) return fail(error, where + ": expected an object");
        if (!entry.contains("callStackTree")) {
            return fail(error, where + ".callStackTree: missing");
        }
        if (const auto version = entry.find("applicationVersion");
            version != entry.end() && !version->is_string()) {
            return fail(error, where + ".applicationVersion: expected a text");
        }
        auto diagnostic = std::make_shared<Kind>(entry);
        if (!fill(entry, where, *diagnostic)) return false;
        out.push_back(std::move(diagnostic));
    }
    return true;
}

}  // namespace

std::string Diagnostic::jsonRepresentation() const {
    return dumpNoThrow(json_);
}

std::string Diagnostic::callStackTreeJsonRepresentation() const {
    const auto it = json_.find("callStackTree");
    return it == json_.end() ? std::string("null") : dumpNoThrow(*it);
}

std::optional<std::string> Diagnostic::applicationVersion() const {
    const auto it = json_.find("applicationVersion");
    if (it == json_.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<DiagnosticPayload> DiagnosticPayload::fromJsonValue(const Json& json,
                                                                  std::string* error) {
    if (!json.is_object()) {
        fail(error, "a payload must be an object");
        return std::nullopt;
    }
    DiagnosticPayload payload;
    if (!readDate(json, "timeStampBegin", payload.timeStampBegin, error) ||
        !readDate(json, "timeStampEnd", payload.timeStampEnd, error)) {
        return std::nullopt;
    }
    const bool read =
        readDiagnostics(
            json, "crashDiagnostics", payload.crashDiagnostics, error,
            [error](const Json& entry, const std::string& where, CrashDiagnostic& d) {
                if (!readInteger(entry, "exceptionType", where, d.exceptionType, error) ||
                    !readInteger(entry, "exceptionCode", where, d.exceptionCode, error) ||
                    !readInteger(entry, "signal", where, d.signal, error)) {
                    return false;
                }
                if (const auto reason = entry.find("terminationReason");
                    reason != entry.end() && reason->is_string()) {
                    d.terminationReason = reason->get<std::string>();
                }
                return true;
            }) &&
        readDiagnostics(
            json, "diskWriteExceptionDiagnostics", payload.diskWriteExceptionDiagnostics, error,
            [error](const Json& entry, const std::string& where, DiskWriteExceptionDiagnostic& d) {
                return readMeasurement(entry, "totalWritesCaused", where, d.totalWritesCaused,
                                       error);
            }) &&
        readDiagnostics(
            json, "cpuExceptionDiagnostics", payload.cpuExceptionDiagnostics, error,
            [error](const Json& entry, const std::string& where, CpuExceptionDiagnostic& d) {
                return readMeasurement(entry, "totalCPUTime", where, d.totalCPUTime, error) &&
                       readMeasurement(entry, "totalSampledTime", where, d.totalSampledTime, error);
            }) &&
        readDiagnostics(json, "hangDiagnostics", payload.hangDiagnostics, error,
                        [error](const Json& entry, const std::string& where, HangDiagnostic& d) {
                            return readMeasurement(entry, "hangDuration", where, d.hangDuration,
                                                   error);
                        });
    if (!read) return std::nullopt;
    return payload;
}

std::optional<std::vector<DiagnosticPayload>> DiagnosticPayload::fromJson(std::string_view text,
                                                                          std::string* error) {
    if (text.size() > kMaxJsonBytes) {
        fail(error, "the text is longer than " + std::to_string(kMaxJsonBytes) + " bytes");
        return std::nullopt;
    }
    if (nestsDeeperThan(text, kMaxJsonNesting)) {
        fail(error, "the text nests deeper than " + std::to_string(kMaxJsonNesting) + " levels");
        return std::nullopt;
    }
    const Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded()) {
        fail(error, "the text is not JSON");
        return std::nullopt;
    }
    std::vector<DiagnosticPayload> payloads;
    if (json.is_array()) {
        for (size_t index = 0; index < json.size(); ++index) {
            std::string entryError;
            auto payload = fromJsonValue(json[index], &entryError);
            if (!payload) {
                fail(error, "payload " + std::to_string(index) + ": " + entryError);
                return std::nullopt;
            }
            payloads.push_back(std::move(*payload));
        }
    } else {
        auto payload = fromJsonValue(json, error);
        if (!payload) return std::nullopt;
        payloads.push_back(std::move(*payload));
    }
    return payloads;
}

}  // namespace skald::platform
