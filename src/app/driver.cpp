#include "app/driver.h"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "app/fatal.h"
#include "app/screens.h"
#include "chooser/file_chooser.h"
#include "chooser/text_conversion.h"
#include "chooser/toolkit_start.h"
#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/fault_trap.h"
#include "runtime/text.h"

int ExitStatus = 0;
std::string ProgramFileName;

namespace {

volatile sig_atomic_t endRoutinesRun = 0;

// Runs the save dialog for the positional arguments and prints what was chosen.
void RunSaveDialog() {
  const std::string title = ArgumentAt(0);
  const std::string defaultFile = ArgumentAt(1);
  const std::string pattern = ArgumentAt(2);
  const int64_t position = ParseInteger(ArgumentAt(3).c_str());

  // Only the low 32 bits of the position reach the dialog.
  std::string current = SaveFileChooser(title.c_str(), defaultFile.c_str(), pattern.c_str(),
                                        static_cast<int32_t>(position));
  std::string output;
  if (!TextEquals(current.c_str(), nullptr)) {
    while (!TextEquals(current.c_str(), nullptr)) {
      output += current.c_str();  // a text ends at its first NUL
      output += '\n';
      current = NextChosenPath();
    }
    output = TrimChar(output.c_str(), "\n");
  }
  if (!TextEquals(output.c_str(), nullptr)) {
    ConsoleOpen();
    ConsoleWrite(output.c_str(), static_cast<int32_t>(TextLength(output.c_str())));
    ConsoleClose();
  }
}

// After a "--", the first argument is the title even when it reads "-h" or
// "-v": a title taken from a document's name must not turn into a screen that
// the caller would read as the chosen path.
void Dispatch(bool optionsEnded) {
  if (ArgumentCount() == 0) {
    ShowHelp();
    return;
  }
  const std::string first = ArgumentAt(0);
  if (optionsEnded) {
    RunSaveDialog();
  } else if (TextEquals(first.c_str(), "-h")) {
    ShowHelp();
  } else if (TextEquals(first.c_str(), "-v")) {
    ShowVersion();
  } else {
    RunSaveDialog();
  }
}

// The name for error lines.
const char* ProgramName() { return ProgramFileName.empty() ? "stashwick" : ProgramFileName.c_str(); }

// A path or screen that could not be delivered must not look like a cancel.
void ReportUndeliveredOutput() {
  std::fprintf(stderr, "%s: cannot write to standard output: %s\n", ProgramName(),
               std::strerror(ConsoleWriteError()));
  ExitStatus = 1;
}

// Refused toolkit options would be read as the title, the default file and so
// on, and the printed path would follow them: no dialog, one line, status 1.
// The options are the caller's bytes and the reason may quote them: the line
// shows their control characters escaped, so that it stays one line and sends
// the terminal nothing but text.
[[noreturn]] void EndForRefusedOptions(const ToolkitStart& start) {
  const std::string options = MessageText(start.refused, false);
  const std::string reason = start.reason.empty() ? "" : ": " + MessageText(start.reason, true);
  std::fprintf(stderr, "%s: toolkit options refused: %s%s\n", MessageText(ProgramName(), false).c_str(),
               options.c_str(), reason.c_str());
  ExitStatus = 1;
  EndProgram();
}

}  // namespace

void StartRuntimeServices(int argc, char** argv) {
  QV_ArgC = static_cast<int32_t>(argc);
  QV_ArgV = argv;
  // Before anything opens a file: a closed descriptor 1 would otherwise be
  // taken by the X connection, and the result written into it.
  ConsoleGuardStandardDescriptors();
  std::setlocale(LC_ALL, "");
  // Text results are owned strings: there is no temporary string space to prepare.
  ArgumentStartup();
  ConsoleStartup();
}

void CommandLineDriver(int argc, char** argv) {
  StartRuntimeServices(argc, argv);
  const ToolkitStart& start = ToolkitInit();
  ProgramFileName = PathFileName(ExecutablePath().c_str(), 0);
  if (!start.refused.empty()) EndForRefusedOptions(start);
  InstallFaultTrap(ErrorHandler);

  Dispatch(start.optionsEnded);
  if (ConsoleWriteFailed()) ReportUndeliveredOutput();
  EndProgram();
}

void RunEndRoutines() {
  if (endRoutinesRun) return;
  // Marked done only afterwards: a fault that strikes in between runs the
  // (repeatable) routines again rather than skipping the terminal.
  ConsoleShutdown();
  ResetFaultTrap();
  endRoutinesRun = 1;
}

void EndProgram() {
  RunEndRoutines();
  std::exit(ExitStatus);
}

void EndProgramFromFault() {
  RunEndRoutines();
  _exit(ExitStatus);
}
