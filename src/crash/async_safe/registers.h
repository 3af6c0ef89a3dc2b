// Async-signal-safe: the x86-64 register state that crash reports carry.
#pragma once

#include <cstdint>

namespace skald::crash {

/// The general registers of one thread, named; reports list them in this
/// order (see `registerName` in machine_context.h).
struct Registers {
    uint64_t rax;
    uint64_t rbx;
    uint64_t rcx;
    uint64_t rdx;
    uint64_t rdi;
    uint64_t rsi;
    uint64_t rbp;
    uint64_t rsp;
    uint64_t r8;
    uint64_t r9;
    uint64_t r10;
    uint64_t r11;
    uint64_t r12;
    uint64_t r13;
    uint64_t r14;
    uint64_t r15;
    uint64_t rip;
    uint64_t rflags;
    uint64_t cs;
    uint64_t fs;
    uint64_t gs;
};

/// What the processor said about the fault: the trap number, its error code
/// and the faulting address (cr2).
struct ExceptionRegisters {
    uint64_t trapno;
    uint64_t err;
    uint64_t faultvaddr;
};

/// Copies the registers of a signal handler's user context (its third argument).
void readSignalRegisters(const void* userContext, Registers* registers,
                         ExceptionRegisters* exception);

}  // namespace skald::crash
