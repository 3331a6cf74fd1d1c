// Faults that reach the real program while its dialog is open: the report on
// standard output, exit status 1 and the terminal on standard input restored.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/program.h"

namespace {

const std::string kMemoryReport = "\nMemory allocation/write error.\n";
const std::string kUnknownReport = "\nAn unknown error occured.\n";

// Waits until the answer module has reported the dialog on screen (its folder
// settled), then sends signal to pid. Returns whether it was sent.
bool SignalOnceDialogIsOpen(const std::string& report, pid_t pid, int signal) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!ReadFile(report).empty()) return kill(pid, signal) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
  if (!RequireDisplay()) return;
  ASSERT_TRUE(HoldDisplay());
  ScratchDir scratch;
  TestTerminal terminal;
  ASSERT_GE(terminal.slave, 0);
  const termios before = AttributesOf(terminal.slave);

  // The answer module keeps the dialog open: only the signal ends the run.
  ProcessOptions options =
      AnsweredRun(scratch, {"Fault", scratch / "unsaved.txt", "Text (*.txt)|*.txt", "0"}, "none");
  options.stdinFd = terminal.slave;
  const std::string report = scratch / "report";
  options.env.emplace_back("STASHWICK_ANSWER_REPORT", report);
  bool sent = false;
  options.whileRunning = [&](pid_t pid) { sent = SignalOnceDialogIsOpen(report, pid, c.signal); };
  const ProcessResult result = RunProcess(options);
  ASSERT_TRUE(sent) << "the dialog never showed, or the signal could not be sent; exit "
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
