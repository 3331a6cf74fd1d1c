#include "app/fatal.h"

#include "app/driver.h"

// Placeholder until fatal-error reporting is written.
void ErrorHandler() { FatalMessage("fatal"); }

void FatalMessage(const char*) {
  ExitStatus = 1;
  EndProgramFromFault();
}
