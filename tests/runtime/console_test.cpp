#include "runtime/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/process.h"

namespace {

// Puts fd over one of this process's standard descriptors for one scope.
class DescriptorSwap {
 public:
  DescriptorSwap(int target, int fd) : target_(target) {
    if (target_ == 1) std::fflush(stdout);
    saved_ = dup(target_);
    dup2(fd, target_);
  }
  ~DescriptorSwap() {
    if (target_ == 1) {
      // Whatever a failed flush left behind must not reach the real output.
      __fpurge(stdout);
      clearerr(stdout);
    }
    dup2(saved_, target_);
    close(saved_);
  }

 private:
  int target_;
  int saved_;
};

// What ConsoleOpen must leave on the terminal, given what it found.
void ExpectCharacterMode(const termios& now, const termios& original) {
  EXPECT_EQ(now.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(now.c_lflag | ICANON | ECHO, original.c_lflag | ICANON | ECHO);
  EXPECT_EQ(now.c_cc[VMIN], 0);
  EXPECT_EQ(now.c_cc[VTIME], 0);
  EXPECT_EQ(now.c_iflag, original.c_iflag);
  EXPECT_EQ(now.c_oflag, original.c_oflag);
  EXPECT_EQ(now.c_cflag, original.c_cflag);
  for (int i : {VINTR, VQUIT, VERASE, VKILL, VEOF}) EXPECT_EQ(now.c_cc[i], original.c_cc[i]);
}

TEST(Console, OpenSetsCharacterModeUntilShutdownRestoresTheStartUpMode) {
  TestTerminal terminal;
  ASSERT_GE(terminal.slave, 0);
  // A non-zero VTIME and VMIN show that open really sets them.
  const termios start = SetNonZeroReadCounts(terminal);
  ASSERT_NE(start.c_lflag & ICANON, 0u);
  ASSERT_NE(start.c_lflag & ECHO, 0u);

  DescriptorSwap input(0, terminal.slave);
  ConsoleStartup();
  ExpectSameAttributes(QV_Console_OriginalAttributes, start);
  EXPECT_EQ(QV_Console_Current, 0);

  // Open and close alternate; the mode stays from the first open on.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(ConsoleOpen(), 1);
    EXPECT_EQ(QV_Console_Current, 1);
    ExpectCharacterMode(AttributesOf(terminal.slave), start);
    ExpectCharacterMode(QV_Console_Attributes, start);
    ConsoleClose();
    EXPECT_EQ(QV_Console_Current, 0);
    ExpectCharacterMode(AttributesOf(terminal.slave), start);
  }
  ConsoleShutdown();
  ExpectSameAttributes(AttributesOf(terminal.slave), start);
}

TEST(Console, SignalIgnoredBeforeOpenStaysIgnoredAndShutdownPutsTheOthersBack) {
  TestTerminal terminal;
  ASSERT_GE(terminal.slave, 0);
  DescriptorSwap input(0, terminal.slave);
  ConsoleStartup();
  signal(SIGHUP, SIG_IGN);  // as nohup leaves it
  ConsoleOpen();
  raise(SIGHUP);  // held, it would end this process
  ConsoleShutdown();
  struct sigaction hangup {}, terminate {};
  sigaction(SIGHUP, nullptr, &hangup);
  sigaction(SIGTERM, nullptr, &terminate);
  signal(SIGHUP, SIG_DFL);
  EXPECT_EQ(hangup.sa_handler, SIG_IGN);
  EXPECT_EQ(terminate.sa_handler, SIG_DFL);
}

TEST(Console, EverySignalThatWouldEndTheProcessGivesTheTerminalBackFirst) {
  // The usual kill, a user signal, a timer and a real-time signal.
  for (int signal : {SIGTERM, SIGUSR1, SIGALRM, SIGRTMIN + 2}) {
    SCOPED_TRACE(signal);
    TestTerminal terminal;
    ASSERT_GE(terminal.slave, 0);
    const termios start = SetNonZeroReadCounts(terminal);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      dup2(terminal.slave, 0);
      ConsoleStartup();
      ConsoleOpen();
      raise(signal);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    ExpectSameAttributes(AttributesOf(terminal.slave), start);
  }
}

TEST(Console, ShutdownRestoresAlsoWhenTheConsoleWasNeverOpened) {
  TestTerminal terminal;
  ASSERT_GE(terminal.slave, 0);
  const termios start = AttributesOf(terminal.slave);
  DescriptorSwap input(0, terminal.slave);
  ConsoleStartup();
  // Someone else changes the mode while the program runs.
  termios changed = start;
  changed.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ASSERT_EQ(tcsetattr(terminal.slave, TCSANOW, &changed), 0);
  ConsoleShutdown();
  ExpectSameAttributes(AttributesOf(terminal.slave), start);
}

TEST(Console, InputThatIsNoTerminalLeavesAnEmptyCaptureAndOpenStillWorks) {
  const char* inputs[] = {"/dev/null", "/proc/self/exe"};
  for (const char* path : inputs) {
    SCOPED_TRACE(path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    {
      DescriptorSwap input(0, fd);
      ConsoleStartup();
      const termios zero{};
      EXPECT_EQ(std::memcmp(&QV_Console_OriginalAttributes, &zero, sizeof zero), 0);
      EXPECT_EQ(ConsoleOpen(), 1);
      EXPECT_EQ(QV_Console_Current, 1);
      ConsoleClose();
      EXPECT_EQ(QV_Console_Current, 0);
      ConsoleShutdown();
    }
    close(fd);
  }
}

// Runs body with standard output in a fresh file and returns the file's bytes.
template <typename Body>
std::string CaptureOutput(const ScratchDir& dir, Body body) {
  const std::string path = dir / "out";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  EXPECT_GE(fd, 0);
  {
    DescriptorSwap output(1, fd);
    body();
    // Everything is in the file already: nothing stays buffered.
    EXPECT_EQ(ReadFile(path).size(), static_cast<size_t>(lseek(fd, 0, SEEK_CUR)));
    EXPECT_EQ(__fpending(stdout), 0u);
  }
  close(fd);
  return ReadFile(path);
}

TEST(Console, WriteWritesExactlyTheCountedBytesAndNothingElse) {
  struct WriteCase {
    const char* text;
    int32_t count;
    std::string bytes;
  };
  const WriteCase cases[] = {
      {"/home/u/report.txt", 18, "/home/u/report.txt"},
      {"abcdef", 3, "abc"},
      {"abc", 1, "a"},
      {"abc", 0, ""},
      {"abc", -1, ""},
      {"abc", INT32_MIN, ""},
      {"", 0, ""},
      {nullptr, 5, ""},
      {"abc", 10, "abc"},  // never past the text's end
      {"line\n", 5, "line\n"},
      {"\n\n", 2, "\n\n"},
      {"\xE9\xA4\xFF", 3, "\xE9\xA4\xFF"},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(missing)");
    SCOPED_TRACE(c.count);
    int32_t returned = -1;
    EXPECT_EQ(CaptureOutput(dir, [&] { returned = ConsoleWrite(c.text, c.count); }), c.bytes);
    EXPECT_EQ(returned, static_cast<int32_t>(c.bytes.size()));
  }
}

TEST(Console, WriteLineAddsOneLineFeed) {
  struct LineCase {
    const char* text;
    std::string bytes;
  };
  const LineCase cases[] = {
      {"version", "version\n"}, {"", "\n"}, {nullptr, "\n"}, {"a\n", "a\n\n"}, {"\xE9", "\xE9\n"},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(missing)");
    EXPECT_EQ(CaptureOutput(dir, [&] { ConsoleWriteLine(c.text); }), c.bytes);
  }
  // A sequence of writes keeps its order byte for byte.
  EXPECT_EQ(CaptureOutput(dir,
                          [] {
                            ConsoleWriteLine("one");
                            ConsoleWrite("two", 3);
                            ConsoleWriteLine(nullptr);
                            ConsoleWrite("three", 5);
                          }),
            "one\ntwo\nthree");
}

TEST(Console, RemembersTheFirstFailedWrite) {
  if (ConsoleWriteFailed()) GTEST_SKIP() << "an earlier test in this process failed a write";
  ScratchDir dir;
  CaptureOutput(dir, [] { ConsoleWrite("fine", 4); });
  EXPECT_FALSE(ConsoleWriteFailed());

  int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  {
    DescriptorSwap output(1, full);
    ConsoleWriteLine("lost");
  }
  EXPECT_TRUE(ConsoleWriteFailed());
  EXPECT_EQ(ConsoleWriteError(), ENOSPC);

  // A later failure of another kind does not replace the first error, and a
  // later good write does not clear it.
  int readOnly = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(readOnly, 0);
  {
    DescriptorSwap output(1, readOnly);
    ConsoleWrite("lost too", 8);
  }
  CaptureOutput(dir, [] { ConsoleWrite("fine", 4); });
  EXPECT_TRUE(ConsoleWriteFailed());
  EXPECT_EQ(ConsoleWriteError(), ENOSPC);
  close(full);
  close(readOnly);
}

}  // namespace
