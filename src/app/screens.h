// The help and version screens.
#pragma once

// Address on the credit line of the help screen and the last line of the
// version screen.
inline constexpr const char* kStashwickWebAddress = "https://stashwick.invalid/";

// The 15-line help screen, naming the program by ProgramFileName (the file
// the executable really is, so a symbolic link shows its target's name).
void ShowHelp();

// The 5-line version screen; it names no file.
void ShowVersion();
