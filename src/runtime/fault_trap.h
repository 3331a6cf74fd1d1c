// Fault trap: turns the seven fault signals into one callback after recording
// what is known about the fault.
#pragma once

#include <csignal>
#include <cstdint>

extern volatile int32_t QV_OnError_Code;            // signal number; -1 before any fault
extern volatile int32_t QV_OnError_Line;            // QV_DEBUGGER_LineNumber at the fault
extern void* volatile QV_OnError_TargetAddress;     // si_addr for SIGBUS and SIGSEGV, else 0
extern void* volatile QV_OnError_CodeAddress;       // instruction pointer at the fault
extern volatile uint64_t QV_OnError_Registers[17];  // RAX RCX RDX RBX RSP RBP RSI RDI R8-R15 RFLAGS
extern volatile int32_t QV_DEBUGGER_LineNumber;     // source-line counter; -1, never advanced

using FaultCallback = void (*)();

// Stores callback and installs the handler for SIGFPE, SIGSEGV, SIGBUS,
// SIGABRT, SIGTRAP, SIGSYS and SIGILL (in that order).
void InstallFaultTrap(FaultCallback callback);

// System default action for the watched signals. Async-signal-safe.
void ResetFaultTrap();
