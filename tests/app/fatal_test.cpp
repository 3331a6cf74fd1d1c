// The fatal-error report of the program's own ErrorHandler, seen from outside
// a probe process that raises real faults after the program's start-up.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <cstdio>
#include <string>

#include "support/process.h"

namespace {

const std::string kMemoryReport = "\nMemory allocation/write error.\n";
const std::string kUnknownReport = "\nAn unknown error occured.\n";

struct ReportCase {
  std::string scenario;
  std::string out;
};

// Every watched fault, raised by the kernel or by the process itself, ends in
// the one report for its signal on standard output, nothing on standard
// error, and exit status 1. Standard input is a cooked terminal, which must be
// as cooked afterwards.
TEST(FatalMessage, ReportsEveryWatchedFaultAndRestoresTheTerminal) {
  const ReportCase cases[] = {
      {"low-store", kMemoryReport},
      {"guard-page-store", kMemoryReport},
      {"truncated-mapping-load", kUnknownReport},
      {"illegal-instruction", kUnknownReport},
      {"raise:" + std::to_string(SIGSEGV), kMemoryReport},
      {"raise:" + std::to_string(SIGFPE), kUnknownReport},
      {"raise:" + std::to_string(SIGBUS), kUnknownReport},
      {"raise:" + std::to_string(SIGABRT), kUnknownReport},
      {"raise:" + std::to_string(SIGTRAP), kUnknownReport},
      {"raise:" + std::to_string(SIGSYS), kUnknownReport},
      {"raise:" + std::to_string(SIGILL), kUnknownReport},
      // The console is open and the terminal in character mode at the fault;
      // what was written before stays in front of the report.
      {"console-open-then-store", "before the fault\n" + kMemoryReport},
  };
  for (const ReportCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    TestTerminal terminal;
    ASSERT_GE(terminal.slave, 0);
    const termios before = AttributesOf(terminal.slave);
    ASSERT_TRUE(before.c_lflag & ICANON);
    ProcessOptions options = FaultProbeRun("program", c.scenario);
    options.stdinFd = terminal.slave;
    const ProcessResult result = RunProcess(options);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, 1);
    ExpectSameAttributes(AttributesOf(terminal.slave), before);
  }
}

// A fault while another thread holds standard output's lock (as in the middle
// of a printf) must still be reported: the report does not wait for it.
TEST(FatalMessage, ReportsWhileAnotherThreadHoldsTheOutputLock) {
  ProcessOptions options = FaultProbeRun("program", "store-while-stdout-locked");
  options.timeoutSeconds = 10;  // a hang, not a speed limit
  const ProcessResult result = RunProcess(options);
  ASSERT_FALSE(result.timedOut) << "no report within " << options.timeoutSeconds << " s";
  EXPECT_EQ(result.out, kMemoryReport);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 1);
  RecordProperty("seconds", std::to_string(result.seconds));
  std::printf("fault with stdout locked by another thread: reported in %.4f s\n", result.seconds);
}

}  // namespace
