#include "app/screens.h"

#include "runtime/console.h"

// Placeholder until the screens are written: one line each.
void ShowHelp() {
  ConsoleOpen();
  ConsoleWriteLine("help screen not written yet");
  ConsoleClose();
}

void ShowVersion() {
  ConsoleOpen();
  ConsoleWriteLine("version screen not written yet");
  ConsoleClose();
}
