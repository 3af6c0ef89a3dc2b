// Async-signal-safe: lookups in constant tables.
#include "crash/async_safe/signal_names.h"

#include <csignal>
#include <cstddef>

namespace skald::crash {

namespace {

struct CodeName {
    int code;
    const char* name;
};

struct SignalInfo {
    int signum;
    const char* name;
    const CodeName* codes;
    int codeCount;
};

// The kernel's own code numbers, which differ from other systems' for SIGFPE
// and SIGILL: a report names what actually happened.
const CodeName kBusCodes[] = {{0, "BUS_NOOP"},
                              {BUS_ADRALN, "BUS_ADRALN"},
                              {BUS_ADRERR, "BUS_ADRERR"},
                              {BUS_OBJERR, "BUS_OBJERR"}};
const CodeName kFpeCodes[] = {{0, "FPE_NOOP"},
                              {FPE_FLTDIV, "FPE_FLTDIV"},
                              {FPE_FLTOVF, "FPE_FLTOVF"},
                              {FPE_FLTUND, "FPE_FLTUND"},
                              {FPE_FLTRES, "FPE_FLTRES"},
                              {FPE_FLTINV, "FPE_FLTINV"},
                              {FPE_FLTSUB, "FPE_FLTSUB"},
                              {FPE_INTDIV, "FPE_INTDIV"},
                              {FPE_INTOVF, "FPE_INTOVF"}};
const CodeName kIllCodes[] = {{0, "ILL_NOOP"},
                              {ILL_ILLOPC, "ILL_ILLOPC"},
                              {ILL_ILLTRP, "ILL_ILLTRP"},
                              {ILL_PRVOPC, "ILL_PRVOPC"},
                              {ILL_ILLOPN, "ILL_ILLOPN"},
                              {ILL_ILLADR, "ILL_ILLADR"},
                              {ILL_PRVREG, "ILL_PRVREG"},
                              {ILL_COPROC, "ILL_COPROC"},
                              {ILL_BADSTK, "ILL_BADSTK"}};
const CodeName kSegvCodes[] = {
    {0, "SEGV_NOOP"}, {SEGV_MAPERR, "SEGV_MAPERR"}, {SEGV_ACCERR, "SEGV_ACCERR"}};
const CodeName kTrapCodes[] = {{0, "0"}, {TRAP_BRKPT, "TRAP_BRKPT"}, {TRAP_TRACE, "TRAP_TRACE"}};

template <size_t N>
constexpr int countOf(const CodeName (&)[N]) {
    return static_cast<int>(N);
}

const SignalInfo kSignals[] = {
    {SIGABRT, "SIGABRT", nullptr, 0},
    {SIGBUS, "SIGBUS", kBusCodes, countOf(kBusCodes)},
    {SIGFPE, "SIGFPE", kFpeCodes, countOf(kFpeCodes)},
    {SIGILL, "SIGILL", kIllCodes, countOf(kIllCodes)},
    {SIGPIPE, "SIGPIPE", nullptr, 0},
    {SIGSEGV, "SIGSEGV", kSegvCodes, countOf(kSegvCodes)},
    {SIGSYS, "SIGSYS", nullptr, 0},
    {SIGTRAP, "SIGTRAP", kTrapCodes, countOf(kTrapCodes)},
    {SIGTERM, "SIGTERM", nullptr, 0},
};

const char* const kMachExceptionNames[] = {
    "EXC_BAD_ACCESS", "EXC_BAD_INSTRUCTION", "EXC_ARITHMETIC",   "EXC_EMULATION", "EXC_SOFTWARE",
    "EXC_BREAKPOINT", "EXC_SYSCALL",         "EXC_MACH_SYSCALL", "EXC_RPC_ALERT", "EXC_CRASH",
};

const char* const kKernelReturnCodeNames[] = {
    "KERN_SUCCESS",
    "KERN_INVALID_ADDRESS",
    "KERN_PROTECTION_FAILURE",
    "KERN_NO_SPACE",
    "KERN_INVALID_ARGUMENT",
    "KERN_FAILURE",
    "KERN_RESOURCE_SHORTAGE",
    "KERN_NOT_RECEIVER",
    "KERN_NO_ACCESS",
    "KERN_MEMORY_FAILURE",
    "KERN_MEMORY_ERROR",
    "KERN_ALREADY_IN_SET",
    "KERN_NOT_IN_SET",
    "KERN_NAME_EXISTS",
    "KERN_ABORTED",
    "KERN_INVALID_NAME",
    "KERN_INVALID_TASK",
    "KERN_INVALID_RIGHT",
    "KERN_INVALID_VALUE",
    "KERN_UREFS_OVERFLOW",
    "KERN_INVALID_CAPABILITY",
    "KERN_RIGHT_EXISTS",
    "KERN_INVALID_HOST",
    "KERN_MEMORY_PRESENT",
    "KERN_MEMORY_DATA_MOVED",
    "KERN_MEMORY_RESTART_COPY",
    "KERN_INVALID_PROCESSOR_SET",
    "KERN_POLICY_LIMIT",
    "KERN_INVALID_POLICY",
    "KERN_INVALID_OBJECT",
    "KERN_ALREADY_WAITING",
    "KERN_DEFAULT_SET",
    "KERN_EXCEPTION_PROTECTED",
    "KERN_INVALID_LEDGER",
    "KERN_INVALID_MEMORY_CONTROL",
    "KERN_INVALID_SECURITY",
    "KERN_NOT_DEPRESSED",
    "KERN_TERMINATED",
    "KERN_LOCK_SET_DESTROYED",
    "KERN_LOCK_UNSTABLE",
    "KERN_LOCK_OWNED",
    "KERN_LOCK_OWNED_SELF",
    "KERN_SEMAPHORE_DESTROYED",
    "KERN_RPC_SERVER_TERMINATED",
    "KERN_RPC_TERMINATE_ORPHAN",
    "KERN_RPC_CONTINUE_ORPHAN",
    "KERN_NOT_SUPPORTED",
    "KERN_NODE_DOWN",
    "KERN_NOT_WAITING",
    "KERN_OPERATION_TIMED_OUT",
    "KERN_CODESIGN_ERROR",
};

static_assert(sizeof kKernelReturnCodeNames / sizeof kKernelReturnCodeNames[0] == 51);

const SignalInfo* find(int signum) {
    for (const SignalInfo& info : kSignals) {
        if (info.signum == signum) return &info;
    }
    return nullptr;
}

}  // namespace

const char* signalName(int signum) {
    const SignalInfo* info = find(signum);
    return info != nullptr ? info->name : nullptr;
}

const char* signalCodeName(int signum, int code) {
    const SignalInfo* info = find(signum);
    if (info == nullptr) return nullptr;
    for (int i = 0; i < info->codeCount; ++i) {
        if (info->codes[i].code == code) return info->codes[i].name;
    }
    return nullptr;
}

const char* machExceptionName(int64_t exception) {
    if (exception < 1 || exception > 10) return nullptr;
    return kMachExceptionNames[exception - 1];
}

const char* kernelReturnCodeName(int64_t code) {
    if (code < 0 || code > 50) return nullptr;
    return kKernelReturnCodeNames[code];
}

}  // namespace skald::crash
