// Console: the program's only way to standard output, and the terminal mode
// of standard input while output is shown.
#pragma once

#include <cstdint>
#include <termios.h>

extern struct termios QV_Console_OriginalAttributes;  // descriptor 0 at start-up; zero if not captured
extern struct termios QV_Console_Attributes;          // what ConsoleOpen applied
extern int32_t QV_Console_Current;                    // 1 while the console is open

// Reopens any of descriptors 0, 1, 2 that the caller left closed on /dev/null
// (1 read-only, so that writing a result to it fails visibly). Call before
// anything opens a file.
void ConsoleGuardStandardDescriptors();

// Byte orientation for the three standard streams; captures descriptor 0's
// terminal attributes (ignored when it is no terminal). SIGXFSZ, if at its
// default action, is ignored: a write past a file-size limit fails (EFBIG).
void ConsoleStartup();

// Gives descriptor 0 back the captured attributes; nothing when none were
// captured, or while the process is a background job of that terminal. Then
// puts back the dispositions of the signals that ConsoleOpen held.
// Async-signal-safe (tcgetpgrp, tcsetattr, sigaction), so the fault path may call it.
void ConsoleShutdown();

// Returns 1. Puts the terminal into character mode without echo (not from a
// background job, which the terminal would stop). From then until
// ConsoleShutdown, every signal that would end the process by its default
// action (SIGHUP, SIGINT, SIGTERM, SIGUSR1, the real-time signals...; not the
// fault signals, SIGKILL or SIGSTOP), where it is at that default action,
// first gives the terminal back and then ends the process by the same signal. Async-signal-safe (plain stores, tcgetpgrp, tcsetattr,
// sigaction): the fault report calls it.
int ConsoleOpen();
// Marks the console closed; the terminal mode stays until ConsoleShutdown.
// Async-signal-safe.
void ConsoleClose();

// Writes text and one line feed (a line feed alone for null), then flushes.
void ConsoleWriteLine(const char* text);
// Writes count bytes of text (never past its NUL; nothing for count <= 0),
// adds nothing, flushes; returns the bytes written.
int32_t ConsoleWrite(const char* text, int32_t count);

// Whether any write or flush since start-up failed, and the errno it left.
bool ConsoleWriteFailed();
int ConsoleWriteError();
