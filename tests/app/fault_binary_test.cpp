// Faults that reach the real program while its dialog is open: the report on
// standard output, exit status 1 and the terminal on standard input restored.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "support/program.h"

namespace {

const std::string kMemoryReport = "\nMemory allocation/write error.\n";
const std::string kUnknownReport = "\nAn unknown error occured.\n";

bool DialogMapped(const std::string& title) {
  const std::string command = "xwininfo -name '" + title + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  pclose(pipe);
  return text.find("Map State: IsViewable") != std::string::npos;
}

// The child of this process whose command line holds title.
pid_t ChildStartedWith(const std::string& title) {
  DIR* proc = opendir("/proc");
  if (!proc) return 0;
  pid_t found = 0;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent != getpid()) continue;
    std::ifstream cmdline("/proc/" + std::string(entry->d_name) + "/cmdline");
    std::stringstream bytes;
    bytes << cmdline.rdbuf();
    if (bytes.str().find(title) != std::string::npos) {
      found = pid;
      break;
    }
  }
  closedir(proc);
  return found;
}

// Waits until the dialog titled title is on the screen, then sends signal to
// the program showing it. Returns whether it was sent.
bool SignalOnceDialogIsOpen(const std::string& title, int signal) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (std::chrono::steady_clock::now() < deadline) {
    if (DialogMapped(title)) {
      const pid_t pid = ChildStartedWith(title);
      return pid > 0 && kill(pid, signal) == 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

struct SignalCase {
  int signal;
  std::string out;  // the report; for an unwatched signal, nothing
  bool reported;    // exit status 1, else ended by the signal itself
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << "SIG" << sigabbrev_np(c.signal); }

class FaultWhileDialogOpen : public ::testing::TestWithParam<SignalCase> {};

TEST_P(FaultWhileDialogOpen, ReportsAndRestoresTheTerminal) {
  const SignalCase& c = GetParam();
  ASSERT_NE(Display(), nullptr) << "needs a display for the dialog";
  ASSERT_TRUE(HoldDisplay());
  ScratchDir scratch;
  TestTerminal terminal;
  ASSERT_GE(terminal.slave, 0);
  const termios before = AttributesOf(terminal.slave);

  const std::string title =
      "stashwick-fault-" + std::to_string(getpid()) + "-" + std::to_string(c.signal);
  // The answer module keeps the dialog open: only the signal ends the run.
  ProcessOptions options =
      AnsweredRun(scratch, {title, scratch / "unsaved.txt", "Text (*.txt)|*.txt", "0"}, "none");
  options.stdinFd = terminal.slave;

  auto sender = std::async(std::launch::async, SignalOnceDialogIsOpen, title, c.signal);
  const ProcessResult result = RunProcess(options);
  ASSERT_TRUE(sender.get()) << "the dialog never showed, or the signal could not be sent; exit "
                            << result.exitCode << ", signal " << result.signal << ", after "
                            << result.seconds << " s, error output: " << result.err;
  ASSERT_FALSE(result.timedOut);

  EXPECT_EQ(result.out, c.out);
  if (c.reported) {
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.err, "");
  } else {
    EXPECT_EQ(result.exitCode, -1);
    EXPECT_EQ(result.signal, c.signal);
  }
  ExpectSameAttributes(AttributesOf(terminal.slave), before);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, FaultWhileDialogOpen,
    ::testing::Values(SignalCase{SIGSEGV, kMemoryReport, true},
                      SignalCase{SIGABRT, kUnknownReport, true},
                      SignalCase{SIGBUS, kUnknownReport, true},
                      SignalCase{SIGFPE, kUnknownReport, true},
                      SignalCase{SIGILL, kUnknownReport, true},
                      SignalCase{SIGTRAP, kUnknownReport, true},
                      SignalCase{SIGSYS, kUnknownReport, true},
                      SignalCase{SIGTERM, "", false},
                      SignalCase{SIGINT, "", false}),
    [](const ::testing::TestParamInfo<SignalCase>& param) {
      return std::string(sigabbrev_np(param.param.signal));
    });

}  // namespace
