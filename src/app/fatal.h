// Fatal-error reporting: the fault trap's callback and the message it prints.
#pragma once

// Chooses the message for QV_OnError_Code and hands it to FatalMessage.
[[noreturn]] void ErrorHandler();

// Prints an empty line and message on standard output, sets ExitStatus to 1
// and ends the program. Async-signal-safe: it runs inside the fault handler.
[[noreturn]] void FatalMessage(const char* message);
