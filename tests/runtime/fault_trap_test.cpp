// The fault trap: what its reset leaves, and the error record it fills
// for real faults raised in a probe process.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/fault_trap.h"
#include "support/process.h"

namespace {

// glibc adds its own restorer flag to every action and reports it back.
constexpr int kLibraryRestorerFlag = 0x04000000;

struct sigaction CurrentAction(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action;
}

bool MaskIsEmpty(const sigset_t& mask) {
  for (int s = 1; s < NSIG; ++s) {
    if (sigismember(&mask, s) == 1) return false;
  }
  return true;
}

void Ignored(int) {}

TEST(FaultTrap, ResetGivesTheDefaultActionWithNoFlags) {
  InstallFaultTrap(nullptr);
  ResetFaultTrap();
  for (int signal : kFaultSignals) {
    SCOPED_TRACE(signal);
    const struct sigaction action = CurrentAction(signal);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
    EXPECT_EQ(action.sa_flags & ~kLibraryRestorerFlag, 0);
    EXPECT_TRUE(MaskIsEmpty(action.sa_mask));
  }
}

TEST(FaultTrap, LeavesOtherSignalsAlone) {
  const int others[] = {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGUSR1};
  struct sigaction mine {};
  mine.sa_handler = Ignored;
  mine.sa_flags = SA_RESTART;
  for (int signal : others) sigaction(signal, &mine, nullptr);
  InstallFaultTrap(nullptr);
  ResetFaultTrap();
  for (int signal : others) {
    SCOPED_TRACE(signal);
    const struct sigaction action = CurrentAction(signal);
    EXPECT_EQ(action.sa_handler, Ignored);
    EXPECT_EQ(action.sa_flags & ~kLibraryRestorerFlag, SA_RESTART);
  }
}

// The probe's "key=value" lines on standard error.
std::map<std::string, int64_t> ParseRecord(const std::string& text) {
  std::map<std::string, int64_t> record;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const char* value = line.c_str() + eq + 1;
    record[line.substr(0, eq)] = *value == '-'
                                     ? std::strtoll(value, nullptr, 10)
                                     : static_cast<int64_t>(std::strtoull(value, nullptr, 0));
  }
  return record;
}

ProcessResult RunProbe(const std::string& callback, const std::string& scenario) {
  return RunProcess(FaultProbeRun(callback, scenario));
}

struct RecordCase {
  const char* scenario;
  int code;
  bool addressFromKernel;  // the probe announced the address it touched
};

TEST(FaultTrap, RecordsSignalAddressAndContextOfRealFaults) {
  const RecordCase cases[] = {
      {"low-store", SIGSEGV, true},
      {"guard-page-store", SIGSEGV, true},
      {"truncated-mapping-load", SIGBUS, true},
      {"illegal-instruction", SIGILL, false},
  };
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    const ProcessResult result = RunProbe("record", c.scenario);
    ASSERT_FALSE(result.timedOut);
    // The callback returned: the trap ends the process with 1 at once.
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_EQ(result.out, "");
    auto record = ParseRecord(result.err);
    ASSERT_TRUE(record.count("code")) << result.err;
    EXPECT_EQ(record["code"], c.code);
    EXPECT_EQ(record["line"], -1);
    if (c.addressFromKernel) {
      ASSERT_TRUE(record.count("expect-target")) << result.err;
      EXPECT_NE(record["expect-target"], 0);
      EXPECT_EQ(record["target"], record["expect-target"]);
    } else {
      EXPECT_EQ(record["target"], 0);
    }
    EXPECT_NE(record["ip"], 0);
#if defined(__x86_64__)
    // RSP sits a little below the faulting function's locals; bit 1 of
    // RFLAGS is always set.
    if (record.count("frame")) {
      const int64_t distance = record["frame"] - record["reg04"];
      EXPECT_GE(distance, 0);
      EXPECT_LT(distance, 64 * 1024);
    }
    EXPECT_EQ(record["reg16"] & 2, 2);
#endif
  }
}

// Sent rather than raised by the kernel, a SIGSEGV or SIGBUS carries the
// sender's pid and uid where a fault carries its address: no target then.
TEST(FaultTrap, RecordsRaisedSignalsWithoutTargetAddress) {
  for (int signal : kFaultSignals) {
    SCOPED_TRACE(signal);
    const ProcessResult result = RunProbe("record", "raise:" + std::to_string(signal));
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1) << result.err;
    auto record = ParseRecord(result.err);
    EXPECT_EQ(record["code"], signal) << result.err;
    EXPECT_EQ(record["line"], -1);
    EXPECT_EQ(record["target"], 0);
    EXPECT_NE(record["ip"], 0);
  }
}

#if defined(__x86_64__)
TEST(FaultTrap, RecordsRegistersInTheirOrder) {
  const ProcessResult result = RunProbe("record", "marked-registers-store");
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  auto record = ParseRecord(result.err);
  EXPECT_EQ(record["code"], SIGSEGV) << result.err;
  EXPECT_EQ(record["target"], 0x40);
  // The probe loaded these just before the faulting store; RSP (4) and
  // RBP (5) keep the frame, RFLAGS (16) is checked by its fixed bit.
  const std::map<int, uint64_t> marked = {
      {0, 0x1100000000000011}, {1, 0x2200000000000022}, {2, 0x3300000000000033},
      {3, 0x4400000000000044}, {6, 0x7700000000000077}, {7, 0x8800000000000088},
      {8, 0x9900000000000099}, {9, 0xaa000000000000aa}, {10, 0xbb000000000000bb},
      {11, 0xcc000000000000cc}, {12, 0xdd000000000000dd}, {13, 0xee000000000000ee},
      {14, 0xff000000000000ff}, {15, 0x1010000000000101},
  };
  for (const auto& [index, value] : marked) {
    SCOPED_TRACE(index);
    char key[8];
    std::snprintf(key, sizeof key, "reg%02d", index);
    EXPECT_EQ(static_cast<uint64_t>(record[key]), value);
  }
  const int64_t distance = record["frame"] - record["reg04"];
  EXPECT_GE(distance, 0);
  EXPECT_LT(distance, 64 * 1024);
  EXPECT_NE(record["reg05"], 0);
  EXPECT_EQ(record["reg16"] & 2, 2);
}
#endif

struct EndCase {
  const char* callback;
  std::string scenario;
  int exitCode;  // -1: ended by a signal
  int signal;
};

// How the process ends around the trap: _exit(1) without flushing standard
// I/O when the callback returns or there is none; the default action for a
// fault inside the callback, a stack overflow, or an unwatched signal.
TEST(FaultTrap, EndsTheProcess) {
  const EndCase cases[] = {
      {"none", "unflushed-then-store", 1, 0},
      {"record", "unflushed-then-store", 1, 0},
      {"none", "raise:" + std::to_string(SIGABRT), 1, 0},
      {"faulting", "low-store", -1, SIGABRT},
      {"record", "stack-overflow", -1, SIGSEGV},
      {"record", "raise:" + std::to_string(SIGPIPE), -1, SIGPIPE},
      {"none", "raise:" + std::to_string(SIGUSR1), -1, SIGUSR1},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(std::string(c.callback) + " " + c.scenario);
    const ProcessResult result = RunProbe(c.callback, c.scenario);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_EQ(result.signal, c.signal);
    EXPECT_EQ(result.out, "");
  }
}

}  // namespace
