// Uncaught C++ exceptions. The terminate handler runs in ordinary context
// (the exception is still alive), so it may rethrow to describe it, as long
// as it does so before it stops the other threads; its records are static.
#include <cxxabi.h>
#include <dlfcn.h>
#include <unwind.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

#include "crash/async_safe/machine_context.h"
#include "crash/async_safe/monitor_registry.h"
#include "crash/async_safe/stack_cursor.h"
#include "crash/async_safe/thread_suspension.h"
#include "crash/recording/exception_monitors.h"
#include "crash/recording/self_thread_cursor.h"

namespace skald::crash {

namespace {

constexpr int kMaxThrowFrames = 97;
constexpr int kDescriptionSize = 1000;
constexpr int kTypeNameSize = 1000;
constexpr int kOtherThreadWaitMillis = 30000;

std::atomic<bool> gIsEnabled{false};
std::atomic<bool> gCaptureStack{false};
std::terminate_handler gPreviousTerminateHandler = nullptr;

char gEventId[kEventIdSize];
MonitorContext gContext;
MachineContext gMachineContext;
StackCursor gCursor;
char gDescription[kDescriptionSize];
char gTypeName[kTypeNameSize];
uintptr_t gTerminateStack[kMaxThrowFrames];

// Each thread keeps the stack of its latest throw: the one that escapes is the
// one that reaches terminate on that thread.
thread_local uintptr_t tThrowStack[kMaxThrowFrames];
thread_local int tThrowStackCount = 0;

struct ThrowWalk {
    uintptr_t* into;
    int skip;
    int count;
};

_Unwind_Reason_Code visitThrowFrame(_Unwind_Context* context, void* data) {
    auto* walk = static_cast<ThrowWalk*>(data);
    const uintptr_t address = _Unwind_GetIP(context);
    if (address == 0) return _URC_END_OF_STACK;
    if (walk->skip > 0) {
        --walk->skip;
        return _URC_NO_REASON;
    }
    if (walk->count >= kMaxThrowFrames) return _URC_END_OF_STACK;
    walk->into[walk->count++] = address;
    return _URC_NO_REASON;
}

/// Copies the calling thread's return addresses, skipping `skip` of them
/// (the caller's own frame is the first). With the unwind tables: the throw
/// may come through code without frame pointers, and it runs while healthy.
__attribute__((always_inline)) inline int recordStack(uintptr_t* into, int skip) {
    ThrowWalk walk{into, skip, 0};
    _Unwind_Backtrace(visitThrowFrame, &walk);
    if (walk.count > 0) return walk.count;
    // No tables at all: the frame pointers.
    StackCursor cursor;
    initSelfThreadCursor(&cursor, skip, kMaxThrowFrames);
    int count = 0;
    while (count < kMaxThrowFrames && advanceCursor(&cursor)) {
        into[count++] = cursor.stackEntry.address;
    }
    return count;
}

/// The type's readable name, demangled when possible, into `out`.
void describeType(const std::type_info* type, char* out, size_t size) {
    const char* mangled = type->name();
    if (*mangled == '*') ++mangled;
    int status = -1;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::snprintf(out, size, "%s", status == 0 ? demangled : mangled);
    std::free(demangled);
}

/// What the current exception says about itself, into `out`; false for
/// types without a text.
bool describeCurrentException(char* out, size_t size) {
    try {
        throw;
    } catch (const std::exception& exception) {
        std::snprintf(out, size, "%s", exception.what());
    } catch (char value) {
        std::snprintf(out, size, "%d", value);
    } catch (short value) {
        std::snprintf(out, size, "%d", value);
    } catch (int value) {
        std::snprintf(out, size, "%d", value);
    } catch (long value) {
        std::snprintf(out, size, "%ld", value);
    } catch (long long value) {
        std::snprintf(out, size, "%lld", value);
    } catch (unsigned char value) {
        std::snprintf(out, size, "%u", value);
    } catch (unsigned short value) {
        std::snprintf(out, size, "%u", value);
    } catch (unsigned int value) {
        std::snprintf(out, size, "%u", value);
    } catch (unsigned long value) {
        std::snprintf(out, size, "%lu", value);
    } catch (unsigned long long value) {
        std::snprintf(out, size, "%llu", value);
    } catch (float value) {
        std::snprintf(out, size, "%f", static_cast<double>(value));
    } catch (double value) {
        std::snprintf(out, size, "%f", value);
    } catch (long double value) {
        std::snprintf(out, size, "%Lf", value);
    } catch (const char* value) {
        std::snprintf(out, size, "%s", value != nullptr ? value : "(null)");
    } catch (...) {
        return false;
    }
    return true;
}

void handleTerminate() {
    // Everything that allocates or takes a lock (demangling, formatting,
    // rethrowing, the first look at this thread's stack limits) is done
    // before the other threads are stopped: one of them may hold that lock.
    char typeName[kTypeNameSize];
    char description[kDescriptionSize];
    uintptr_t terminateStack[kMaxThrowFrames];
    int terminateStackCount = 0;
    const std::type_info* type = abi::__cxa_current_exception_type();
    // An application-layer exception is its own monitor's to report, with
    // its name, reason and user info; without that monitor it is reported
    // here like any other.
    if (type != nullptr) {
        gCaptureStack = false;
        const bool handedOver = handOverCurrentAppException();
        gCaptureStack = gIsEnabled.load();
        if (handedOver) {
            if (gPreviousTerminateHandler != nullptr) gPreviousTerminateHandler();
            std::abort();
        }
    }
    bool hasDescription = false;
    if (type != nullptr) {
        describeType(type, typeName, sizeof typeName);
        gCaptureStack = false;
        hasDescription = describeCurrentException(description, sizeof description);
        gCaptureStack = gIsEnabled.load();
    } else {
        // std::terminate called without an exception: its caller is the
        // site; this handler's own frame is left out.
        terminateStackCount = recordStack(terminateStack, 1);
    }

    const registry::FatalCapture capture = registry::notifyFatalExceptionCaptured(false);
    if (capture == registry::FatalCapture::kOtherThreadHandling) {
        registry::waitForHandlingToEnd(kOtherThreadWaitMillis);
    } else {
        const bool first = capture == registry::FatalCapture::kFirst;
        if (first) suspendEnvironment(nullptr, 0);
        gContext = MonitorContext{};
        const char* name = nullptr;
        const char* reason = nullptr;
        if (type != nullptr) {
            std::memcpy(gTypeName, typeName, sizeof gTypeName);
            name = gTypeName;
            if (hasDescription) {
                std::memcpy(gDescription, description, sizeof gDescription);
                reason = gDescription;
            }
            initBacktraceCursor(&gCursor, tThrowStack, tThrowStackCount, 0);
        } else {
            std::memcpy(gTerminateStack, terminateStack,
                        sizeof(uintptr_t) * static_cast<size_t>(terminateStackCount));
            initBacktraceCursor(&gCursor, gTerminateStack, terminateStackCount, 0);
        }
        getContextForCurrentThread(&gMachineContext, true);

        std::memcpy(gContext.eventID, gEventId, sizeof gEventId);
        gContext.crashType = monitor_type::kCPPException;
        gContext.registersAreValid = false;
        gContext.offendingMachineContext = &gMachineContext;
        gContext.stackCursor = &gCursor;
        gContext.CPPException.name = name;
        gContext.exceptionName = name;
        gContext.crashReason = reason;
        registry::handleException(&gContext);
        if (first) resumeEnvironment();
    }
    if (gPreviousTerminateHandler != nullptr) gPreviousTerminateHandler();
    std::abort();
}

void setEnabled(bool isEnabled) {
    if (isEnabled == gIsEnabled) return;
    gIsEnabled = isEnabled;
    if (isEnabled) {
        generateEventId(gEventId);
        prepareThreadSuspension();
        gPreviousTerminateHandler = std::set_terminate(handleTerminate);
    } else {
        std::set_terminate(gPreviousTerminateHandler);
    }
    gCaptureStack = isEnabled;
}

bool isEnabled() {
    return gIsEnabled;
}

const MonitorAPI kApi = {setEnabled, isEnabled, nullptr};

using CxaThrow = void (*)(void*, std::type_info*, void (*)(void*));
using CxaRethrow = void (*)();

template <typename Function>
Function nextDefinition(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

const MonitorAPI* cppExceptionMonitorApi() {
    return &kApi;
}

}  // namespace skald::crash

namespace monitor = skald::crash;

// The program's own definitions: every throw records where it happened, so an
// exception that escapes is reported with its throw site rather than with
// the terminate handler's stack.
extern "C" [[noreturn]] void __cxa_throw(void* exception, std::type_info* type,
                                         void (*destructor)(void*)) {
    static const auto next = monitor::nextDefinition<monitor::CxaThrow>("__cxa_throw");
    if (monitor::gCaptureStack.load(std::memory_order_relaxed)) {
        // Skip this function's own return address: start at the throw site.
        monitor::tThrowStackCount = monitor::recordStack(monitor::tThrowStack, 1);
    }
    if (next == nullptr) std::abort();
    next(exception, type, destructor);
    __builtin_unreachable();
}

extern "C" [[noreturn]] void __cxa_rethrow() {
    static const auto next = monitor::nextDefinition<monitor::CxaRethrow>("__cxa_rethrow");
    if (monitor::gCaptureStack.load(std::memory_order_relaxed)) {
        monitor::tThrowStackCount = monitor::recordStack(monitor::tThrowStack, 1);
    }
    if (next == nullptr) std::abort();
    next();
    __builtin_unreachable();
}
