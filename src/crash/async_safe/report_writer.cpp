// Async-signal-safe: static and stack buffers only; the image list, the
// thread names and the scope snapshot are read without locks.
#include "crash/async_safe/report_writer.h"

#include <fcntl.h>
#include <stdio.h>  // rename
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "crash/async_safe/binary_images.h"
#include "crash/async_safe/buffered_writer.h"
#include "crash/async_safe/crash_log.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/json_encoder.h"
#include "crash/async_safe/machine_context.h"
#include "crash/async_safe/memory.h"
#include "crash/async_safe/scope_snapshot.h"
#include "crash/async_safe/signal_names.h"
#include "crash/async_safe/stack_cursor.h"
#include "crash/async_safe/text_format.h"
#include "crash/async_safe/thread_names.h"
#include "crash/async_safe/thread_suspension.h"

namespace skald::crash::writer {

namespace {

using namespace skald::crash::json;

constexpr int kWriteBufferSize = 1024;
constexpr int kOtherThreadMaxFrames = 150;
constexpr uintptr_t kStackDumpBefore = 80;
constexpr uintptr_t kStackDumpAfter = 160;
constexpr int kStackDumpSize = static_cast<int>(kStackDumpBefore + kStackDumpAfter);
constexpr int kMinStringLength = 4;
constexpr int kMaxStringLength = 500;
constexpr int kRawJSONErrorLength = 100;
constexpr int kPathSize = 500;

std::atomic<char*> gUserInfoJSON{nullptr};
std::atomic<bool> gIntrospectMemory{false};
std::atomic<void (*)(const char*)> gSectionHook{nullptr};

// One encoder per kind of report: the recrash report is written while the
// standard one's encoder may be half-way through.
EncodeContext gStandardEncoder;
EncodeContext gRecrashEncoder;

struct Output {
    BufferedWriter writer;
    char buffer[kWriteBufferSize];
};
Output gStandardOutput;
Output gRecrashOutput;

int addJSONData(const char* data, int length, void* userData) {
    auto* writer = static_cast<BufferedWriter*>(userData);
    return writeBuffered(writer, data, length) ? OK : ErrorCannotAddData;
}

void endSection(BufferedWriter* writer, const char* section) {
    flushBufferedWriter(writer);
    if (auto hook = gSectionHook.load()) hook(section);
}

/// Rejects before writing anything: streamed output cannot be taken back.
int validateJSON(const char* json, int length) {
    static constexpr DecodeCallbacks kNone = {};
    char nameBuffer[100];
    char stringBuffer[5000];
    return decode(json, length, nameBuffer, sizeof nameBuffer, stringBuffer, sizeof stringBuffer,
                  &kNone, nullptr, nullptr);
}

/// Adds `json` under `name`, or, when it is not valid JSON, an object saying
/// so, so that the report stays valid.
void addRawJSONOrError(EncodeContext* encoder, const char* name, const char* json) {
    const int length = static_cast<int>(std::strlen(json));
    const int result = validateJSON(json, length);
    if (result == OK) {
        addRawJSON(encoder, name, json, length, true);
        return;
    }
    char message[kRawJSONErrorLength + 1];
    const char* prefix = "Invalid JSON data: ";
    const char* reason = stringForError(result);
    int used = text::copyString(message, sizeof message, prefix);
    text::copyString(message + used, static_cast<int>(sizeof message) - used, reason);
    beginObject(encoder, name);
    addStringElement(encoder, "error", message, -1);
    addStringElement(encoder, "json_data", json, length);
    endContainer(encoder);
}

// --- "report" ---------------------------------------------------------------

void writeReportInfo(EncodeContext* encoder, const MonitorContext* context, const char* type) {
    beginObject(encoder, "report");
    addStringElement(encoder, "version", "3.2.0", -1);
    addStringElement(encoder, "id", context->eventID, -1);
    addStringElement(encoder, "process_name", context->System.processName, -1);
    addIntegerElement(encoder, "timestamp", static_cast<int64_t>(::time(nullptr)));
    addStringElement(encoder, "type", type, -1);
    endContainer(encoder);
}

// --- "binary_images" ----------------------------------------------------------

void writeBinaryImages(EncodeContext* encoder) {
    beginArray(encoder, "binary_images");
    const BinaryImageReader images;
    for (const BinaryImage& image : images) {
        beginObject(encoder, nullptr);
        addUIntegerElement(encoder, "image_addr", image.address);
        addUIntegerElement(encoder, "image_vmaddr", image.vmaddr);
        addUIntegerElement(encoder, "image_size", image.size);
        addStringElement(encoder, "name", image.name, -1);
        // The build-id's first 16 bytes stand for the UUID; the whole note
        // goes beside it, since debug files are found by all of it.
        if (image.buildIdLength >= 16) {
            addUUIDElement(encoder, "uuid", image.buildId);
        } else {
            addNullElement(encoder, "uuid");
        }
        if (image.buildIdLength > 0) {
            char hex[kMaxBuildIdSize * 2];
            text::writeHexBytes(image.buildId, image.buildIdLength, hex, text::HexCase::Lower);
            addStringElement(encoder, "build_id", hex, 2 * image.buildIdLength);
        }
        addIntegerElement(encoder, "cpu_type", image.cpuType);
        addIntegerElement(encoder, "cpu_subtype", image.cpuSubtype);
        addUIntegerElement(encoder, "major_version", 0);
        addUIntegerElement(encoder, "minor_version", 0);
        addUIntegerElement(encoder, "revision_version", 0);
        endContainer(encoder);
    }
    endContainer(encoder);
}

// --- "system" -----------------------------------------------------------------

void writeSystemInfo(EncodeContext* encoder, const MonitorContext* context) {
    const auto& system = context->System;
    beginObject(encoder, "system");
    addStringElement(encoder, "system_name", system.systemName, -1);
    addStringElement(encoder, "system_version", system.systemVersion, -1);
    addStringElement(encoder, "machine", system.machine, -1);
    addStringElement(encoder, "model", system.model, -1);
    addStringElement(encoder, "kernel_version", system.kernelVersion, -1);
    addStringElement(encoder, "os_version", system.osVersion, -1);
    addBooleanElement(encoder, "jailbroken", system.isJailbroken);
    addStringElement(encoder, "app_start_time", system.appStartTime, -1);
    addStringElement(encoder, "CFBundleExecutablePath", system.executablePath, -1);
    addStringElement(encoder, "CFBundleExecutable", system.executableName, -1);
    addStringElement(encoder, "CFBundleIdentifier", system.bundleID, -1);
    addStringElement(encoder, "CFBundleName", system.bundleName, -1);
    addStringElement(encoder, "CFBundleVersion", system.bundleVersion, -1);
    addStringElement(encoder, "CFBundleShortVersionString", system.bundleShortVersion, -1);
    addStringElement(encoder, "app_uuid", system.appID, -1);
    addStringElement(encoder, "cpu_arch", system.cpuArchitecture, -1);
    addIntegerElement(encoder, "cpu_type", system.cpuType);
    addIntegerElement(encoder, "cpu_subtype", system.cpuSubType);
    addIntegerElement(encoder, "binary_cpu_type", system.binaryCPUType);
    addIntegerElement(encoder, "binary_cpu_subtype", system.binaryCPUSubType);
    addStringElement(encoder, "process_name", system.processName, -1);
    addIntegerElement(encoder, "process_id", system.processID);
    addIntegerElement(encoder, "parent_process_id", system.parentProcessID);
    addStringElement(encoder, "device_app_hash", system.deviceAppHash, -1);
    addStringElement(encoder, "build_type", system.buildType, -1);

    beginObject(encoder, "memory");
    addUIntegerElement(encoder, "size", system.memorySize);
    addUIntegerElement(encoder, "usable", system.usableMemory);
    addUIntegerElement(encoder, "free", system.freeMemory);
    endContainer(encoder);

    const appstate::AppState& stats = context->AppState;
    beginObject(encoder, "application_stats");
    addBooleanElement(encoder, "application_active", stats.applicationIsActive);
    addBooleanElement(encoder, "application_in_foreground", stats.applicationIsInForeground);
    addIntegerElement(encoder, "launches_since_last_crash", stats.launchesSinceLastCrash);
    addIntegerElement(encoder, "sessions_since_last_crash", stats.sessionsSinceLastCrash);
    addFloatingPointElement(encoder, "active_time_since_last_crash",
                            stats.activeDurationSinceLastCrash);
    addFloatingPointElement(encoder, "background_time_since_last_crash",
                            stats.backgroundDurationSinceLastCrash);
    addIntegerElement(encoder, "sessions_since_launch", stats.sessionsSinceLaunch);
    addFloatingPointElement(encoder, "active_time_since_launch", stats.activeDurationSinceLaunch);
    addFloatingPointElement(encoder, "background_time_since_launch",
                            stats.backgroundDurationSinceLaunch);
    endContainer(encoder);
    endContainer(encoder);
}

// --- "crash" / "error" --------------------------------------------------------

void writeError(EncodeContext* encoder, const MonitorContext* context) {
    beginObject(encoder, "error");

    beginObject(encoder, "mach");
    addUIntegerElement(encoder, "exception", static_cast<uint64_t>(context->mach.type));
    if (const char* name = machExceptionName(context->mach.type)) {
        addStringElement(encoder, "exception_name", name, -1);
    }
    addUIntegerElement(encoder, "code", static_cast<uint64_t>(context->mach.code));
    if (context->mach.code != 0) {
        if (const char* name = kernelReturnCodeName(context->mach.code)) {
            addStringElement(encoder, "code_name", name, -1);
        }
    }
    addUIntegerElement(encoder, "subcode", static_cast<uint64_t>(context->mach.subcode));
    endContainer(encoder);

    beginObject(encoder, "signal");
    const int signum = context->signal.signum;
    addUIntegerElement(encoder, "signal", static_cast<uint64_t>(signum));
    if (const char* name = signalName(signum)) addStringElement(encoder, "name", name, -1);
    addUIntegerElement(encoder, "code", static_cast<uint64_t>(context->signal.sigcode));
    if (const char* name = signalCodeName(signum, context->signal.sigcode)) {
        addStringElement(encoder, "code_name", name, -1);
    }
    endContainer(encoder);

    addUIntegerElement(encoder, "address", context->faultAddress);
    if (context->crashReason != nullptr) {
        addStringElement(encoder, "reason", context->crashReason, -1);
    }

    switch (context->crashType) {
        case monitor_type::kMachException:
            addStringElement(encoder, "type", "mach", -1);
            break;
        case monitor_type::kSignal:
            addStringElement(encoder, "type", "signal", -1);
            break;
        case monitor_type::kCPPException:
            addStringElement(encoder, "type", "cpp_exception", -1);
            beginObject(encoder, "cpp_exception");
            addStringElement(encoder, "name", context->CPPException.name, -1);
            endContainer(encoder);
            break;
        case monitor_type::kNSException:
            addStringElement(encoder, "type", "nsexception", -1);
            beginObject(encoder, "nsexception");
            addStringElement(encoder, "name", context->NSException.name, -1);
            addStringElement(encoder, "userInfo", context->NSException.userInfo, -1);
            if (context->crashReason != nullptr) {
                addStringElement(encoder, "reason", context->crashReason, -1);
            }
            endContainer(encoder);
            break;
        default: {
            char type[16];
            int used = 0;
            text::appendHex(type, sizeof type, &used, context->crashType);
            logError("Crash monitor type 0x", type, " shouldn't be able to cause events!");
            break;
        }
    }
    endContainer(encoder);
}

// --- "threads" ----------------------------------------------------------------

void writeBacktrace(EncodeContext* encoder, StackCursor* cursor) {
    beginObject(encoder, "backtrace");
    beginArray(encoder, "contents");
    if (cursor != nullptr) {
        resetCursor(cursor);
        while (advanceCursor(cursor)) {
            beginObject(encoder, nullptr);
            if (symbolicateCursor(cursor)) {
                const StackEntry& entry = cursor->stackEntry;
                if (entry.imageName != nullptr) {
                    addStringElement(encoder, "object_name", lastPathEntry(entry.imageName), -1);
                }
                addUIntegerElement(encoder, "object_addr", entry.imageAddress);
                if (entry.symbolName != nullptr) {
                    addStringElement(encoder, "symbol_name", entry.symbolName, -1);
                }
                addUIntegerElement(encoder, "symbol_addr", entry.symbolAddress);
            }
            addUIntegerElement(encoder, "instruction_addr", cursor->stackEntry.address);
            endContainer(encoder);
        }
    }
    endContainer(encoder);
    const long skipped = cursor != nullptr ? cursor->skippedEntries : 0;
    addIntegerElement(encoder, "skipped", skipped);
    // Where in "contents" the left-out frames were.
    if (skipped > 0) addIntegerElement(encoder, "skipped_at", cursor->skippedAt);
    endContainer(encoder);
}

void writeRegisters(EncodeContext* encoder, const MachineContext* machineContext) {
    beginObject(encoder, "registers");
    beginObject(encoder, "basic");
    for (int i = 0; i < registerCount(); ++i) {
        const char* name = registerName(i);
        char fallback[16];
        if (name == nullptr) {
            int used = 0;
            text::append(fallback, sizeof fallback, &used, "r");
            text::appendDecimal(fallback, sizeof fallback, &used, i);
            name = fallback;
        }
        addUIntegerElement(encoder, name, registerValue(machineContext, i));
    }
    endContainer(encoder);
    if (machineContext->isCrashedContext) {
        beginObject(encoder, "exception");
        for (int i = 0; i < exceptionRegisterCount(); ++i) {
            addUIntegerElement(encoder, exceptionRegisterName(i),
                               exceptionRegisterValue(machineContext, i));
        }
        endContainer(encoder);
    }
    endContainer(encoder);
}

void writeStackDump(EncodeContext* encoder, const MachineContext* machineContext) {
    const uintptr_t stackPointerValue = stackPointer(machineContext);
    if (stackPointerValue == 0) return;
    const uintptr_t start = stackPointerValue - kStackDumpBefore;
    beginObject(encoder, "stack");
    addStringElement(encoder, "grow_direction", "-", 1);
    addUIntegerElement(encoder, "dump_start", start);
    addUIntegerElement(encoder, "dump_end", stackPointerValue + kStackDumpAfter);
    addUIntegerElement(encoder, "stack_pointer", stackPointerValue);
    addBooleanElement(encoder, "overflow", machineContext->isStackOverflow);
    char contents[kStackDumpSize];
    if (memory::copySafely(reinterpret_cast<const void*>(start), contents, sizeof contents)) {
        addDataElement(encoder, "contents", contents, sizeof contents);
    } else {
        addStringElement(encoder, "error", "Stack contents not accessible", -1);
    }
    endContainer(encoder);
}

/// A readable text of printable characters at `address`, copied into `out`.
bool readNotableString(uintptr_t address, char* out) {
    if (address < 4096) return false;
    const size_t copied =
        memory::copyMaxPossible(reinterpret_cast<const void*>(address), out, kMaxStringLength);
    for (size_t i = 0; i < copied; ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c == '\0') return i >= kMinStringLength;
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
        if (c >= 0x7F) return false;
    }
    return false;
}

void writeNotableAddress(EncodeContext* encoder, const char* name, uintptr_t value) {
    char text[kMaxStringLength];
    if (!readNotableString(value, text)) return;
    beginObject(encoder, name);
    addUIntegerElement(encoder, "address", value);
    addStringElement(encoder, "type", "string", -1);
    addStringElement(encoder, "value", text, -1);
    endContainer(encoder);
}

void writeNotableAddresses(EncodeContext* encoder, const MachineContext* machineContext) {
    beginObject(encoder, "notable_addresses");
    if (machineContext->hasRegisters) {
        for (int i = 0; i < registerCount(); ++i) {
            const char* name = registerName(i);
            if (name != nullptr)
                writeNotableAddress(encoder, name, registerValue(machineContext, i));
        }
    }
    const uintptr_t stackPointerValue = stackPointer(machineContext);
    if (stackPointerValue != 0) {
        const uintptr_t start = stackPointerValue - kStackDumpBefore;
        for (uintptr_t address = start; address < stackPointerValue + kStackDumpAfter;
             address += sizeof(uintptr_t)) {
            uintptr_t word = 0;
            if (!memory::copySafely(reinterpret_cast<const void*>(address), &word, sizeof word)) {
                continue;
            }
            char name[32];
            int used = 0;
            text::append(name, sizeof name, &used, "stack@0x");
            text::appendHex(name, sizeof name, &used, address);
            writeNotableAddress(encoder, name, word);
        }
    }
    endContainer(encoder);
}

/// The thread's name as it is now: read by the writing thread for itself, by
/// each stopped thread for itself when it stopped; the cache otherwise.
const char* currentThreadName(const MachineContext* machineContext,
                              char (&buffer)[kThreadNameSize]) {
    if (machineContext->thread == currentThreadId()) {
        buffer[0] = '\0';
        if (::prctl(PR_GET_NAME, buffer, 0, 0, 0) == 0 && buffer[0] != '\0') {
            buffer[kThreadNameSize - 1] = '\0';
            return buffer;
        }
    }
    const ThreadSnapshot* snapshot = machineContext->snapshot;
    if (snapshot == nullptr) snapshot = snapshotOfThread(machineContext->thread);
    if (snapshot != nullptr && snapshot->captured && snapshot->name[0] != '\0') {
        return snapshot->name;
    }
    return threadnames::threadName(machineContext->thread);
}

void writeThread(EncodeContext* encoder, const char* name, const MachineContext* machineContext,
                 StackCursor* cursor, int index, bool crashed, bool withNotableAddresses) {
    beginObject(encoder, name);
    writeBacktrace(encoder, cursor);
    if (machineContext->hasRegisters) writeRegisters(encoder, machineContext);
    addIntegerElement(encoder, "index", index);
    // The kernel's id, as ps -L, gdb and /proc show it.
    addIntegerElement(encoder, "tid", machineContext->thread);
    char nameBuffer[kThreadNameSize];
    if (const char* threadName = currentThreadName(machineContext, nameBuffer)) {
        addStringElement(encoder, "name", threadName, -1);
    }
    if (const char* queueName = threadnames::queueName(machineContext->thread)) {
        addStringElement(encoder, "dispatch_queue", queueName, -1);
    }
    addBooleanElement(encoder, "crashed", crashed);
    addBooleanElement(encoder, "current_thread", machineContext->thread == currentThreadId());
    if (crashed) {
        writeStackDump(encoder, machineContext);
        if (withNotableAddresses && gIntrospectMemory) {
            writeNotableAddresses(encoder, machineContext);
        }
    }
    endContainer(encoder);
}

void writeAllThreads(EncodeContext* encoder, const MonitorContext* context) {
    const MachineContext* crashedContext = context->offendingMachineContext;
    beginArray(encoder, "threads");
    if (crashedContext != nullptr) {
        const int count = threadCount(crashedContext);
        for (int index = 0; index < count; ++index) {
            const pid_t thread = threadAt(crashedContext, index);
            if (thread == crashedContext->thread) {
                writeThread(encoder, nullptr, crashedContext, context->stackCursor, index, true,
                            true);
                continue;
            }
            MachineContext other;
            if (!getContextForThread(thread, &other, false)) continue;
            StackCursor cursor;
            initMachineContextCursor(&cursor, kOtherThreadMaxFrames, &other);
            writeThread(encoder, nullptr, &other, &cursor, index, false, false);
        }
    }
    endContainer(encoder);
}

// --- "skald_sdk_scope", "user", "debug" --------------------------------------

void writeScope(EncodeContext* encoder) {
    beginObject(encoder, "skald_sdk_scope");
    for (int i = 0; i < static_cast<int>(scope::Field::Count); ++i) {
        const auto field = static_cast<scope::Field>(i);
        if (const char* json = scope::field(field)) {
            addRawJSONOrError(encoder, scope::fieldName(field), json);
        }
    }
    const int capacity = scope::breadcrumbCapacity();
    bool anyBreadcrumb = false;
    for (int i = 0; i < capacity && !anyBreadcrumb; ++i) anyBreadcrumb = scope::breadcrumbAt(i);
    if (anyBreadcrumb) {
        beginArray(encoder, "breadcrumbs");
        const int start = scope::breadcrumbNextIndex();
        for (int i = 0; i < capacity; ++i) {
            if (const char* crumb = scope::breadcrumbAt((start + i) % capacity)) {
                addRawJSONOrError(encoder, "crumb", crumb);
            }
        }
        endContainer(encoder);
    }
    endContainer(encoder);
}

void writeUserInfo(EncodeContext* encoder) {
    if (const char* json = gUserInfoJSON.load()) {
        addRawJSONOrError(encoder, "user", json);
    } else {
        beginObject(encoder, "user");
        endContainer(encoder);
    }
}

void writeDebugInfo(EncodeContext* encoder, const MonitorContext* context) {
    beginObject(encoder, "debug");
    if (context->consoleLogPath != nullptr) {
        BufferedReader reader;
        char buffer[1024];
        if (openBufferedReader(&reader, context->consoleLogPath, buffer, sizeof buffer)) {
            beginArray(encoder, "console_log");
            char line[1024];
            int length = 0;
            while ((length = readLine(&reader, line, sizeof line)) >= 0) {
                addStringElement(encoder, nullptr, line, length);
            }
            endContainer(encoder);
            closeBufferedReader(&reader);
        }
    }
    endContainer(encoder);
}

}  // namespace

void writeStandardReport(const MonitorContext* context, const char* path) {
    BufferedWriter* writer = &gStandardOutput.writer;
    if (!openBufferedWriter(writer, path, gStandardOutput.buffer, kWriteBufferSize)) return;
    threadnames::freeze();
    EncodeContext* encoder = &gStandardEncoder;
    beginEncode(encoder, true, addJSONData, writer);
    beginObject(encoder, nullptr);

    writeReportInfo(encoder, context, "standard");
    endSection(writer, "report");
    writeBinaryImages(encoder);
    endSection(writer, "binary_images");
    beginObject(encoder, "process");
    endContainer(encoder);
    endSection(writer, "process");
    writeSystemInfo(encoder, context);
    endSection(writer, "system");
    beginObject(encoder, "crash");
    writeError(encoder, context);
    writeAllThreads(encoder, context);
    endContainer(encoder);
    endSection(writer, "crash");
    writeScope(encoder);
    endSection(writer, "skald_sdk_scope");
    writeUserInfo(encoder);
    endSection(writer, "user");
    writeDebugInfo(encoder, context);
    endSection(writer, "debug");

    endEncode(encoder);
    closeBufferedWriter(writer);
    threadnames::unfreeze();
    if (auto hook = gSectionHook.load()) hook("closed");
}

void writeRecrashReport(const MonitorContext* context, const char* path) {
    char oldPath[kPathSize + 8];
    size_t length = std::strlen(path);
    if (length > 490) length = 490;
    std::memcpy(oldPath, path, length);
    std::memcpy(oldPath + length, ".old", 5);
    // The first report may not exist yet: the crash came before its file
    // was opened (while its stack was walked, say).
    bool hasFirstReport = true;
    if (::rename(path, oldPath) != 0) {
        hasFirstReport = false;
        if (errno != ENOENT) logError("Could not rename ", path, " to ", oldPath);
    }

    BufferedWriter* writer = &gRecrashOutput.writer;
    if (!openBufferedWriter(writer, path, gRecrashOutput.buffer, kWriteBufferSize)) return;
    threadnames::freeze();
    EncodeContext* encoder = &gRecrashEncoder;
    beginEncode(encoder, true, addJSONData, writer);
    beginObject(encoder, nullptr);
    if (hasFirstReport) {
        addJSONFile(encoder, "recrash_report", oldPath, true);
        flushBufferedWriter(writer);
        if (::unlink(oldPath) != 0) logError("Could not remove ", oldPath, ": ", errorText(errno));
    }

    writeReportInfo(encoder, context, "minimal");
    beginObject(encoder, "crash");
    writeError(encoder, context);
    const MachineContext* machineContext = context->offendingMachineContext;
    if (machineContext != nullptr) {
        const int index = indexOfThread(machineContext, machineContext->thread);
        writeThread(encoder, "crashed_thread", machineContext, context->stackCursor, index, true,
                    false);
    }
    endContainer(encoder);
    endEncode(encoder);
    closeBufferedWriter(writer);
    threadnames::unfreeze();
}

char* exchangeUserInfoJSON(char* json) {
    return gUserInfoJSON.exchange(json);
}

void setIntrospectMemory(bool introspect) {
    gIntrospectMemory = introspect;
}

void setSectionWrittenHook(void (*hook)(const char* section)) {
    gSectionHook = hook;
}

}  // namespace skald::crash::writer
