// Fatal-error reporting: the fault trap's callback and the message it prints.
#pragma once

// Messages of ErrorHandler: one for SIGSEGV, one for every other fault.
inline constexpr const char* kMemoryErrorMessage = "Memory allocation/write error.";
inline constexpr const char* kUnknownErrorMessage = "An unknown error occured.";

// Chooses the message for QV_OnError_Code and hands it to FatalMessage.
// Async-signal-safe: it runs inside the fault handler.
[[noreturn]] void ErrorHandler();

// Writes "\n", message (null: nothing) and "\n" to descriptor 1, sets
// ExitStatus to 1 and ends through EndProgramFromFault (terminal restored,
// trap reset, _exit). Async-signal-safe: it runs inside the fault handler,
// possibly while another thread, or the interrupted code, holds a lock of the
// C library, so it uses neither standard I/O nor the heap nor exit().
[[noreturn]] void FatalMessage(const char* message);
