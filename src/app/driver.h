// The command-line driver: owns the process from entry to exit.
#pragma once

#include <string>

extern int ExitStatus;               // 0, or 1 after a reported fault or failed output
extern std::string ProgramFileName;  // file name of the running executable, for the help screen

// Starts the services, dispatches on the arguments and ends the program.
[[noreturn]] void CommandLineDriver(int argc, char** argv);

// The start-up before the toolkit, in its order: the argument vector stored,
// closed standard descriptors reopened, the locale, the argument service and
// the console.
void StartRuntimeServices(int argc, char** argv);

// The end routines, once: terminal restored, fault handlers reset.
// Async-signal-safe, so the fault path runs the same ones.
void RunEndRoutines();

// The normal way out: end routines, then exit(ExitStatus).
[[noreturn]] void EndProgram();

// The way out from a fault handler: end routines, then _exit(ExitStatus).
// Standard output is flushed after every write, so nothing buffered is lost.
[[noreturn]] void EndProgramFromFault();
