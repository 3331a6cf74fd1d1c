// Fault trap: turns the seven fault signals into one callback after recording
// what is known about the fault.
#pragma once

#include <csignal>
#include <cstdint>

extern volatile int32_t QV_OnError_Code;            // signal number; -1 before any fault
extern volatile int32_t QV_OnError_Line;            // QV_DEBUGGER_LineNumber at the fault
extern void* volatile QV_OnError_TargetAddress;     // faulting address for SIGBUS and SIGSEGV raised
                                                    // by the kernel; 0 otherwise (also when sent
                                                    // by kill or raise)
extern void* volatile QV_OnError_CodeAddress;       // instruction pointer at the fault
extern volatile uint64_t QV_OnError_Registers[17];  // x86-64: RAX RCX RDX RBX RSP RBP RSI RDI
                                                    // R8-R15 RFLAGS; zero on other processors
extern volatile int32_t QV_DEBUGGER_LineNumber;     // source-line counter; -1, never advanced

using FaultCallback = void (*)();

// The watched signals, in the order they are installed and reset.
inline constexpr int kFaultSignals[7] = {SIGFPE, SIGSEGV, SIGBUS, SIGABRT, SIGTRAP, SIGSYS, SIGILL};

// Stores callback (null: none) and installs the handler for the watched
// signals: SA_SIGINFO only, empty mask, no previous action kept. On a fault
// the handler resets the trap, fills the record, calls the callback and, if
// the callback returns or there is none, ends the process with _exit(1).
// The handler runs on the faulting thread's own stack, so a stack overflow
// ends the process with the default action instead.
void InstallFaultTrap(FaultCallback callback);

// System default action (flags 0) for the watched signals. Async-signal-safe.
void ResetFaultTrap();
