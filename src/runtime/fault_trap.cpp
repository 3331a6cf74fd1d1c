#include "runtime/fault_trap.h"

volatile int32_t QV_OnError_Code = -1;
volatile int32_t QV_OnError_Line = -1;
void* volatile QV_OnError_TargetAddress = nullptr;
void* volatile QV_OnError_CodeAddress = nullptr;
volatile uint64_t QV_OnError_Registers[17] = {};
volatile int32_t QV_DEBUGGER_LineNumber = -1;

// Placeholder until the trap is written: installs nothing.
void InstallFaultTrap(FaultCallback) {}

void ResetFaultTrap() {}
