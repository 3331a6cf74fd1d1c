// Running the real binary (or any program) from a test, with exact bytes.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct ProcessOptions {
  std::vector<std::string> args;                            // args[0] is the program path
  std::vector<std::pair<std::string, std::string>> env;    // set (or replace) these variables
  std::vector<std::string> unsetEnv;                        // remove these variables
  std::string input;                                        // fed to standard input, then closed
  int stdinFd = -1;                                         // descriptor 0: this one instead (e.g. a pty)
  int stdoutFd = -1;                                        // descriptor 1: this one instead
  bool closeStdout = false;                                 // start with descriptor 1 closed
  bool stdoutIntoClosedPipe = false;                        // descriptor 1: a pipe whose reader is gone
  std::string stdoutPath;                                   // descriptor 1: this file (e.g. /dev/full)
  bool noFileGrowth = false;                                // file-size limit 0 (ulimit -f 0)
  double timeoutSeconds = 60;                               // then SIGKILL, timedOut set
  // Runs on a thread of its own with the child's pid while the child runs;
  // the child is not reaped before it returns.
  std::function<void(pid_t)> whileRunning;
};

struct ProcessResult {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 unless the process exited
  int signal = 0;     // signal that ended it, or 0
  bool timedOut = false;
  double seconds = 0;
};

ProcessResult RunProcess(const ProcessOptions& options);

// Starts the program of options (its arguments and environment; the rest is
// not used) in the background, standard input from /dev/null, standard output
// and error appended to logPath ("" discards them). Returns its pid, 0 when
// it could not fork; the caller ends and reaps it.
pid_t StartProcess(const ProcessOptions& options, const std::string& logPath = "");

// A pseudo-terminal in cooked mode (echo and line editing on). The slave side
// serves as a child's standard input; compare its attributes before and after.
struct TestTerminal {
  int master = -1;
  int slave = -1;
  TestTerminal();
  ~TestTerminal();
  TestTerminal(const TestTerminal&) = delete;
  TestTerminal& operator=(const TestTerminal&) = delete;
};

// The attributes of the terminal on fd (a test failure when it has none).
termios AttributesOf(int fd);
// Every flag word, control character and speed of after equals before.
void ExpectSameAttributes(const termios& after, const termios& before);
// Gives the terminal non-zero VMIN and VTIME, which character mode changes,
// and returns its attributes then.
termios SetNonZeroReadCounts(const TestTerminal& terminal);

// From now on the terminal reports on its master side every time it is given
// attributes, by whichever request (packet mode with external processing);
// returns its attributes then.
termios ReportAttributeSets(const TestTerminal& terminal);
// Whether the terminal was given attributes since the last call; drops what
// the master side had to read.
bool AttributesWereSet(const TestTerminal& terminal);

// A run of the fault probe with the given callback and scenario.
ProcessOptions FaultProbeRun(const std::string& callback, const std::string& scenario);

// A fresh directory under $TMPDIR or /tmp, removed when the test passed.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Environment for a GUI child: private HOME and XDG folders inside dir, so the
// toolkit's settings and recent-files writes stay in the test's scratch space.
std::vector<std::pair<std::string, std::string>> PrivateDesktopEnv(const ScratchDir& dir);

// Bytes of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
