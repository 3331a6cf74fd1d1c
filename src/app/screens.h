// The help and version screens.
#pragma once

// The 15-line help screen, naming the program by its file name.
void ShowHelp();

// The 5-line version screen.
void ShowVersion();
