#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/build_paths.h"

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// In a forked child: the environment of options, then its program.
[[noreturn]] void ExecChild(const ProcessOptions& options) {
  for (const auto& name : options.unsetEnv) unsetenv(name.c_str());
  for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
  // The parent may ignore SIGPIPE (GTK does); the child starts with the default.
  signal(SIGPIPE, SIG_DFL);
  std::vector<char*> argv;
  for (const auto& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace

pid_t StartProcess(const ProcessOptions& options, const std::string& logPath) {
  const pid_t pid = fork();
  if (pid != 0) {
    if (pid < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
    return pid < 0 ? 0 : pid;
  }
  const int in = open("/dev/null", O_RDONLY);
  const int log = open(logPath.empty() ? "/dev/null" : logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (in < 0 || log < 0) _exit(126);
  dup2(in, 0);
  dup2(log, 1);
  dup2(log, 2);
  ExecChild(options);
}

ProcessResult RunProcess(const ProcessOptions& options) {
  ProcessResult result;
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return result;
  }
  int deadPipe[2] = {-1, -1};
  if (options.stdoutIntoClosedPipe) {
    if (pipe2(deadPipe, O_CLOEXEC)) ADD_FAILURE() << "pipe: " << std::strerror(errno);
    close(deadPipe[0]);  // the reader is gone before the child starts
  }
  const double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(options.stdinFd >= 0 ? options.stdinFd : inPipe[0], 0);
    if (options.stdinFd >= 0) {
      // A terminal on descriptor 0 wants this process to lead a session.
      setsid();
    }
    if (options.closeStdout) {
      close(1);
    } else if (options.stdoutFd >= 0) {
      dup2(options.stdoutFd, 1);
    } else if (options.stdoutIntoClosedPipe) {
      dup2(deadPipe[1], 1);
    } else if (!options.stdoutPath.empty()) {
      int fd = open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) _exit(126);
      dup2(fd, 1);
      close(fd);
    } else {
      dup2(outPipe[1], 1);
    }
    dup2(errPipe[1], 2);
    if (options.noFileGrowth) {
      const rlimit none = {0, 0};
      setrlimit(RLIMIT_FSIZE, &none);
      signal(SIGXFSZ, SIG_DFL);
    }
    ExecChild(options);
  }
  std::thread watcher;
  if (options.whileRunning) watcher = std::thread(options.whileRunning, pid);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (deadPipe[1] >= 0) close(deadPipe[1]);

  size_t inputDone = 0;
  int inFd = inPipe[1];
  if (options.input.empty()) {
    close(inFd);
    inFd = -1;
  } else {
    fcntl(inFd, F_SETFL, O_NONBLOCK);
  }
  int outFd = outPipe[0], errFd = errPipe[0];
  const double deadline = start + options.timeoutSeconds;
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    int wait = static_cast<int>((deadline - Now()) * 1000);
    if (wait <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, n, wait) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == inFd) {
        ssize_t w = write(inFd, options.input.data() + inputDone, options.input.size() - inputDone);
        if (w > 0) inputDone += static_cast<size_t>(w);
        if (w < 0 || inputDone == options.input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
      std::string& sink = fds[i].fd == outFd ? result.out : result.err;
      if (r > 0) {
        sink.append(buffer, static_cast<size_t>(r));
      } else {
        close(fds[i].fd);
        (fds[i].fd == outFd ? outFd : errFd) = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  if (watcher.joinable()) watcher.join();
  int status = 0;
  // The descriptors may close before the process ends; wait with the same deadline.
  while (true) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) break;
    if (Now() > deadline && !result.timedOut) {
      result.timedOut = true;
      kill(pid, SIGKILL);
    }
    usleep(2000);
  }
  result.seconds = Now() - start;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProcessOptions FaultProbeRun(const std::string& callback, const std::string& scenario) {
  ProcessOptions options;
  options.args = {std::string(TestProbeDir) + "/fault_probe", callback, scenario};
  options.timeoutSeconds = 60;
  return options;
}

ScratchDir::ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/stashwick-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  // Kept for inspection when the test failed.
  if (::testing::Test::HasFailure()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::pair<std::string, std::string>> PrivateDesktopEnv(const ScratchDir& dir) {
  std::vector<std::pair<std::string, std::string>> env = {
      {"HOME", dir / "home"},
      {"XDG_CONFIG_HOME", dir / "home/.config"},
      {"XDG_DATA_HOME", dir / "home/.local/share"},
      {"XDG_CACHE_HOME", dir / "home/.cache"},
  };
  for (const auto& [name, value] : env) std::filesystem::create_directories(value);
  return env;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

TestTerminal::TestTerminal() {
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return;
  }
  termios attributes;
  tcgetattr(slave, &attributes);
  attributes.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
  tcsetattr(slave, TCSANOW, &attributes);
}

TestTerminal::~TestTerminal() {
  if (slave >= 0) close(slave);
  if (master >= 0) close(master);
}

termios AttributesOf(int fd) {
  termios t;
  std::memset(&t, 0, sizeof t);
  EXPECT_EQ(tcgetattr(fd, &t), 0) << std::strerror(errno);
  return t;
}

void ExpectSameAttributes(const termios& after, const termios& before) {
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  for (size_t i = 0; i < NCCS; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(after.c_cc[i], before.c_cc[i]);
  }
  EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

termios SetNonZeroReadCounts(const TestTerminal& terminal) {
  termios start = AttributesOf(terminal.slave);
  start.c_cc[VMIN] = 4;
  start.c_cc[VTIME] = 9;
  EXPECT_EQ(tcsetattr(terminal.slave, TCSANOW, &start), 0) << std::strerror(errno);
  return AttributesOf(terminal.slave);
}

termios ReportAttributeSets(const TestTerminal& terminal) {
  termios attributes = AttributesOf(terminal.slave);
  attributes.c_lflag |= EXTPROC;
  EXPECT_EQ(tcsetattr(terminal.slave, TCSANOW, &attributes), 0) << std::strerror(errno);
  int on = 1;
  EXPECT_EQ(ioctl(terminal.master, TIOCPKT, &on), 0) << std::strerror(errno);
  EXPECT_EQ(fcntl(terminal.master, F_SETFL, O_NONBLOCK), 0) << std::strerror(errno);
  AttributesWereSet(terminal);
  return AttributesOf(terminal.slave);
}

bool AttributesWereSet(const TestTerminal& terminal) {
  bool set = false;
  // One packet per read: a status byte, followed by data when it is TIOCPKT_DATA.
  char packet[4096];
  while (read(terminal.master, packet, sizeof packet) > 0) set |= (packet[0] & TIOCPKT_IOCTL) != 0;
  return set;
}
