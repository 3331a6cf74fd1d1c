#include "runtime/console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

struct termios QV_Console_OriginalAttributes;
struct termios QV_Console_Attributes;
int32_t QV_Console_Current = 0;

namespace {

// Whether QV_Console_OriginalAttributes holds a real capture; an all-zero
// record applied to a terminal would leave it unusable.
volatile bool attributesCaptured = false;
bool writeFailed = false;
int writeError = 0;

void NoteFailure(int error) {
  if (!writeFailed) writeError = error;
  writeFailed = true;
}

// Whether the terminal on descriptor 0 may be given attributes now. A
// background job of its controlling terminal would be stopped by SIGTTOU, and
// the terminal belongs to the foreground job anyway; a terminal that is not
// the controlling one (tcgetpgrp fails) raises no signal. Async-signal-safe.
bool InForegroundOfTerminal() {
  const pid_t foreground = tcgetpgrp(0);
  return foreground < 0 || foreground == getpgrp();
}

// Signals whose default action ends the process, other than the faults that
// the fault trap reports (which give the terminal back through the end
// routines) and SIGKILL and SIGSTOP, which cannot be caught: while the
// terminal is in output mode, each first gives the terminal back. Only those
// at their default action are held, so that an ignored SIGHUP (nohup) or
// SIGINT (a background job of a script), or a handler the caller left, stays.
constexpr int kEndingSignals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGVTALRM,
    SIGPROF, SIGIO,   SIGXCPU, SIGXFSZ,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
// The real-time signals, whose bounds the C library knows only at run time.
const int firstRealTimeSignal = SIGRTMIN;
const int lastRealTimeSignal = SIGRTMAX;
struct sigaction previousActions[NSIG];
volatile sig_atomic_t held[NSIG] = {};
volatile sig_atomic_t signalsHeld = 0;

bool EndsTheProcess(int signal) {
  if (signal >= firstRealTimeSignal && signal <= lastRealTimeSignal) return true;
  for (int ending : kEndingSignals)
    if (signal == ending) return true;
  return false;
}

// Async-signal-safe: tcgetpgrp, tcsetattr, sigaction, pthread_sigmask, raise.
void GiveTerminalBackAndEnd(int signal) {
  if (InForegroundOfTerminal()) tcsetattr(0, TCSANOW, &QV_Console_OriginalAttributes);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(signal);
}

// Async-signal-safe: sigaction only.
void HoldTerminalSignals() {
  if (signalsHeld) return;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = GiveTerminalBackAndEnd;
  sigemptyset(&action.sa_mask);
  // One at a time: a second signal must not end the process by another number.
  for (int signal = 1; signal < NSIG; ++signal)
    if (EndsTheProcess(signal)) sigaddset(&action.sa_mask, signal);
  for (int signal = 1; signal < NSIG; ++signal) {
    if (!EndsTheProcess(signal)) continue;
    sigaction(signal, nullptr, &previousActions[signal]);
    // sa_handler shares its storage with sa_sigaction: any handler reads as no SIG_DFL.
    if (previousActions[signal].sa_handler != SIG_DFL) continue;
    sigaction(signal, &action, nullptr);
    held[signal] = 1;
  }
  signalsHeld = 1;
}

// Async-signal-safe: sigaction only.
void ReleaseTerminalSignals() {
  if (!signalsHeld) return;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (held[signal]) sigaction(signal, &previousActions[signal], nullptr);
    held[signal] = 0;
  }
  signalsHeld = 0;
}

void FlushOutput() {
  if (std::fflush(stdout) != 0) NoteFailure(errno);
}

}  // namespace

void ConsoleGuardStandardDescriptors() {
  static const int modes[3] = {O_RDONLY, O_RDONLY, O_WRONLY};
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open by now, so open() hands out fd itself.
    int got = open("/dev/null", modes[fd]);
    if (got >= 0 && got != fd) {
      dup2(got, fd);
      close(got);
    }
  }
}

void ConsoleStartup() {
  fwide(stdin, -1);
  fwide(stdout, -1);
  fwide(stderr, -1);
  // A file-size limit would end the process by SIGXFSZ in the middle of a
  // write, without a word; ignored, the write fails with EFBIG and is reported.
  struct sigaction sizeLimit;
  if (sigaction(SIGXFSZ, nullptr, &sizeLimit) == 0 && sizeLimit.sa_handler == SIG_DFL)
    signal(SIGXFSZ, SIG_IGN);
  std::memset(&QV_Console_OriginalAttributes, 0, sizeof QV_Console_OriginalAttributes);
  attributesCaptured = tcgetattr(0, &QV_Console_OriginalAttributes) == 0;
}

void ConsoleShutdown() {
  if (attributesCaptured && InForegroundOfTerminal())
    tcsetattr(0, TCSANOW, &QV_Console_OriginalAttributes);
  // Only now: until the line above the terminal was still in output mode.
  ReleaseTerminalSignals();
}

int ConsoleOpen() {
  QV_Console_Current = 1;
  QV_Console_Attributes = QV_Console_OriginalAttributes;
  QV_Console_Attributes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  QV_Console_Attributes.c_cc[VTIME] = 0;
  QV_Console_Attributes.c_cc[VMIN] = 0;
  if (attributesCaptured && InForegroundOfTerminal()) {
    // Before the mode changes: a kill while a write blocks must not leave
    // the terminal without echo.
    HoldTerminalSignals();
    tcsetattr(0, TCSANOW, &QV_Console_Attributes);
  }
  return 1;
}

void ConsoleClose() { QV_Console_Current = 0; }

void ConsoleWriteLine(const char* text) {
  int result = text ? std::puts(text) : std::putchar('\n');
  if (result == EOF) NoteFailure(errno);
  FlushOutput();
}

int32_t ConsoleWrite(const char* text, int32_t count) {
  size_t n = 0;
  if (text && count > 0) {
    // Never read past the end of the text, whatever count says.
    size_t length = std::strlen(text);
    n = static_cast<size_t>(count) < length ? static_cast<size_t>(count) : length;
  }
  size_t written = n ? std::fwrite(text, 1, n, stdout) : 0;
  if (written != n) NoteFailure(errno);
  FlushOutput();
  return static_cast<int32_t>(written);
}

bool ConsoleWriteFailed() { return writeFailed; }

int ConsoleWriteError() { return writeError; }
