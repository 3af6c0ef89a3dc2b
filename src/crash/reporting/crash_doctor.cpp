#include "crash/reporting/crash_doctor.h"

#include <string_view>

#include "crash/reporting/hex_address.h"
#include "crash/reporting/report_fields.h"
#include "util/json_bytes.h"

namespace skald::crash {

namespace {

using report_fields::isTrue;
using report_fields::member;
using report_fields::stringAt;
using report_fields::unsignedAt;

const Json& kNull = report_fields::nullValue();

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

const Json& crashedThread(const Json& crash) {
    const Json& explicitThread = member(crash, "crashed_thread");
    if (explicitThread.is_object()) return explicitThread;
    const Json& threads = member(crash, "threads");
    if (threads.is_array()) {
        for (const auto& thread : threads) {
            if (isTrue(thread, "crashed")) return thread;
        }
    }
    return kNull;
}

const Json& backtraceOf(const Json& thread) {
    const Json& contents = member(member(thread, "backtrace"), "contents");
    return contents.is_array() ? contents : kNull;
}

/// A "mach" section counts only when it names an exception: on Linux the
/// writer may leave a zeroed one, which must not hide the signal.
const Json& machSection(const Json& error) {
    const Json& mach = member(error, "mach");
    if (!mach.is_object()) return kNull;
    const auto exception = unsignedAt(mach, "exception");
    if ((exception && *exception != 0) || member(mach, "exception_name").is_string()) return mach;
    return kNull;
}

/// The notable-address entry of a register: an object keyed by register
/// name, or an array of entries carrying their "name".
const Json& notableEntry(const Json& notableAddresses, const std::string& name) {
    if (notableAddresses.is_object()) return member(notableAddresses, name);
    if (notableAddresses.is_array()) {
        for (const auto& entry : notableAddresses) {
            if (stringAt(entry, "name") == name) return entry;
        }
    }
    return kNull;
}

std::vector<std::string> parameterRegisters(const std::string& cpuArch) {
    if (contains(cpuArch, "arm")) return {"r0", "r1", "r2", "r3"};
    if (contains(cpuArch, "x86_64")) return {"rdi", "rsi", "rdx", "rcx"};
    if (contains(cpuArch, "i") && contains(cpuArch, "86")) return {"edi", "esi", "edx", "ecx"};
    return {};
}

bool isMemoryCorruption(const Json& thread) {
    const Json& notable = member(thread, "notable_addresses");
    if (notable.is_object() || notable.is_array()) {
        for (const auto& entry : notable) {
            if (stringAt(entry, "type") != "string") continue;
            const auto value = stringAt(entry, "value");
            if (!value) continue;
            if ((contains(*value, "autorelease pool page") && contains(*value, "corrupted")) ||
                contains(*value, "incorrect checksum for freed object"))
                return true;
        }
    }
    const Json& backtrace = backtraceOf(thread);
    if (backtrace.is_array()) {
        for (const auto& entry : backtrace) {
            const auto symbol = stringAt(entry, "symbol_name");
            if (!symbol) continue;
            if (*symbol == "objc_autoreleasePoolPush" || *symbol == "free_list_checksum_botch" ||
                *symbol == "szone_malloc_should_clear")
                return true;
            if (*symbol == "lookUpMethod" && stringAt(entry, "object_name") == "libobjc.A.dylib")
                return true;
        }
    }
    return false;
}

// As "%p" writes pointers: no padding, and "(nil)" for null.
std::string pointerText(uint64_t address) {
    if (address == 0) return "(nil)";
    return "0x" + platform::hexNumber(address);
}

}  // namespace

std::string CrashDoctorFunctionCall::descriptionWithParamCount(size_t paramCount) const {
    std::string text = name.value_or("unknown function");
    text += '(';
    for (size_t i = 0; i < paramCount && i < params.size(); ++i) {
        const auto& param = params[i];
        if (i > 0) text += ", ";
        if (param.className)
            text += *param.className;
        else if (param.type)
            text += *param.type;
        else if (param.value)
            text += *param.value;
        else
            text += '?';
        if (param.previousClassName) text += " (freed " + *param.previousClassName + ")";
    }
    text += ')';
    return text;
}

CrashDoctorFunctionCall CrashDoctor::lastFunctionCall(const Json& report) {
    CrashDoctorFunctionCall call;
    const Json& thread = crashedThread(member(report, "crash"));
    const Json& backtrace = backtraceOf(thread);
    if (backtrace.is_array() && !backtrace.empty())
        call.name = stringAt(backtrace.front(), "symbol_name");

    const Json& notable = member(thread, "notable_addresses");
    const Json& registers = member(member(thread, "registers"), "basic");
    const auto cpuArch = stringAt(member(report, "system"), "cpu_arch").value_or("");
    for (const auto& name : parameterRegisters(cpuArch)) {
        CrashDoctorParam param;
        const Json& entry = notableEntry(notable, name);
        if (entry.is_object()) {
            param.address = unsignedAt(entry, "address");
            param.type = stringAt(entry, "type");
            param.className = stringAt(entry, "class");
            param.isInstance = param.type == "objc_object";
            const Json& value = member(entry, "value");
            if (value.is_string())
                param.value = value.get<std::string>();
            else if (!value.is_null())
                param.value = describeJson(value);
            const Json& deallocated = member(entry, "last_deallocated_obj");
            param.previousClassName = deallocated.is_string() ? deallocated.get<std::string>()
                                                              : stringAt(deallocated, "class");
        } else if (const auto value = unsignedAt(registers, name)) {
            param.address = *value;
            param.value = hexAddress(*value);
        }
        call.params.push_back(std::move(param));
    }
    return call;
}

std::optional<std::string> CrashDoctor::diagnoseCrash(const Json& report) {
    if (!report.is_object()) return std::nullopt;
    const Json& crash = member(report, "crash");
    const Json& thread = crashedThread(crash);
    const Json& backtrace = backtraceOf(thread);
    const Json& error = member(crash, "error");

    if (isTrue(member(thread, "stack"), "overflow")) {
        const auto executable = stringAt(member(report, "report"), "process_name");
        std::optional<std::string> symbol;
        if (backtrace.is_array()) {
            for (const auto& entry : backtrace) {
                if (executable && stringAt(entry, "object_name") == executable) {
                    symbol = stringAt(entry, "symbol_name");
                    if (symbol) break;
                }
            }
            // Without a process name the innermost named frame is the best guess.
            for (size_t i = 0; !symbol && i < backtrace.size(); ++i)
                symbol = stringAt(backtrace[i], "symbol_name");
        }
        return "Stack overflow in " + symbol.value_or("unknown function");
    }

    if (stringAt(error, "type") == "nsexception") {
        const Json& exception = member(error, "nsexception");
        auto reason = stringAt(exception, "reason");
        if (!reason) reason = stringAt(error, "reason");
        return "Application threw exception " + stringAt(exception, "name").value_or("") + ": " +
               reason.value_or("");
    }

    if (isMemoryCorruption(thread)) return "Rogue memory write has corrupted memory.";

    const Json& mach = machSection(error);
    const auto signalName = stringAt(member(error, "signal"), "name");
    const bool mathError = mach.is_object() ? stringAt(mach, "exception_name") == "EXC_ARITHMETIC"
                                            : signalName == "SIGFPE";
    if (mathError) return "Math error (usually caused from division by 0).";

    const auto call = lastFunctionCall(report);
    const bool firstParamWasFreed = !call.params.empty() && call.params[0].previousClassName;
    if (call.name == "objc_msgSend" && firstParamWasFreed)
        return "Possible zombie in call: " + call.descriptionWithParamCount(4);
    if (call.name == "objc_retain" && firstParamWasFreed)
        return "Possible zombie in call: " + call.descriptionWithParamCount(1);

    const bool invalidAddress = mach.is_object()
                                    ? stringAt(mach, "exception_name") == "EXC_BAD_ACCESS"
                                    : signalName == "SIGSEGV";
    if (invalidAddress) {
        const uint64_t address = unsignedAt(error, "address").value_or(0);
        if (address == 0) return "Attempted to dereference null pointer.";
        if (const auto codeName = stringAt(mach, "code_name"))
            return *codeName + " at " + pointerText(address) + ".";
        return "Attempted to dereference garbage pointer at " + pointerText(address) + ".";
    }

    if (unsignedAt(member(error, "signal"), "signal") == 15u)
        return "Graceful OS termination requested.";
    return std::nullopt;
}

void CrashDoctor::addDiagnosis(Json& report) {
    const auto diagnosis = diagnoseCrash(report);
    if (!diagnosis) return;
    const auto store = [&](Json& owner) {
        const auto crash = owner.find("crash");
        if (crash != owner.end() && crash->is_object()) (*crash)["diagnosis"] = *diagnosis;
    };
    store(report);
    const auto recrash = report.find("recrash_report");
    if (recrash != report.end() && recrash->is_object()) store(*recrash);
}

}  // namespace skald::crash
