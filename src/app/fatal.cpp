#include "app/fatal.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "app/driver.h"
#include "runtime/console.h"
#include "runtime/fault_trap.h"

namespace {

// Async-signal-safe: write only. Retries partial writes and EINTR; gives up
// on any other error, as there is nobody left to tell.
void WriteAllToOutput(const char* bytes, size_t count) {
  while (count > 0) {
    ssize_t written = write(STDOUT_FILENO, bytes, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes += written;
    count -= static_cast<size_t>(written);
  }
}

// Async-signal-safe: strlen and write.
void WriteLineToOutput(const char* text) {
  if (text) WriteAllToOutput(text, std::strlen(text));
  WriteAllToOutput("\n", 1);
}

}  // namespace

void ErrorHandler() {
  FatalMessage(QV_OnError_Code == SIGSEGV ? kMemoryErrorMessage : kUnknownErrorMessage);
}

void FatalMessage(const char* message) {
  // The messages are static text, so the message needs no copy. The console
  // is opened and closed for its bookkeeping only (ConsoleOpen does plain
  // stores and tcsetattr); the bytes go straight to descriptor 1 rather than
  // through stdout's buffer. Standard output is flushed after every write the
  // program makes, so nothing buffered there comes after them or is lost.
  ConsoleOpen();
  WriteLineToOutput(nullptr);
  WriteLineToOutput(message);
  ConsoleClose();
  ExitStatus = 1;
  EndProgramFromFault();
}
