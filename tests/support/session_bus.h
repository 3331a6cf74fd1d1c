// A session bus of a test's own: dbus-daemon with the installed services,
// which it starts on demand (D-Bus activation) as a desktop session's bus
// does: the file system daemon, the accessibility bus, the desktop portal and
// its backends, the document portal. Everything that runs on it, whether the
// bus started it or the test, carries a mark in its environment; at the end
// every such process is ended, the document portal's mount undone, and a
// process that outlives that is a test failure.
#pragma once

#include <sys/types.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/process.h"

using Environment = std::vector<std::pair<std::string, std::string>>;

struct SessionBusOptions {
  // Set in the daemon's environment, which the services it starts inherit
  // (a portal reads XDG_CURRENT_DESKTOP and XDG_DESKTOP_PORTAL_DIR there).
  Environment env;
  // Bus names of installed services that the bus cannot start, as where they
  // are not installed.
  std::vector<std::string> leftOut;
};

// The processes whose environment holds the entry ("NAME=value"), zombies not
// counted.
std::vector<pid_t> ProcessesWith(const std::string& entry);

class PrivateSessionBus {
 public:
  // Starts the bus; folder (made when missing) holds its socket, its
  // configuration and the runtime folder of its services, <folder>/run (0700).
  explicit PrivateSessionBus(const std::string& folder, const SessionBusOptions& options = {});
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;
  ~PrivateSessionBus() { EndAll(); }

  bool running() const { return pid_ > 0; }
  const std::string& startError() const { return startError_; }
  const std::string& address() const { return address_; }
  // The bus's socket, from its address ("unix:path=<socket>,guid=...").
  std::string socketPath() const;
  pid_t pid() const { return pid_; }
  // XDG_RUNTIME_DIR of the services; the document portal mounts its file
  // system at <runtime folder>/doc.
  const std::string& runtimeFolder() const { return runtime_; }
  std::string documentPortalMount() const { return runtime_ + "/doc"; }

  // What a program on this bus needs in its environment: the bus's address,
  // the runtime folder and the mark.
  Environment ClientEnv() const;

  // The process that owns name on the bus, 0 when none does.
  pid_t Owner(const std::string& name) const;
  // The owner of name, started on the bus when it is not running; 0 when it
  // does not start within 5 s.
  pid_t Started(const std::string& name) const;

  // Starts a program on this bus in the background (ClientEnv added to its
  // environment), its output appended to logPath; 0 when it cannot start.
  pid_t Start(ProcessOptions options, const std::string& logPath);
  // Starts the desktop portal's GTK backend in place of any that runs
  // (xdg-desktop-portal-gtk --replace) with env added (GTK_MODULES and
  // STASHWICK_ANSWER_* steer the answer module in it). Returns its pid once it
  // owns its bus name, 0 when it does not within 5 s.
  pid_t StartPortalBackend(const Environment& env, const std::string& logPath);
  // Starts a fake desktop portal that misbehaves as behaviour says (see
  // support/fake_portal.py); its pid once it owns the portal's name, else 0.
  pid_t StartFakePortal(const std::vector<std::string>& behaviour, const std::string& logPath);

  // SIGSTOP: pid holds still until Continue, or the end.
  void Stop(pid_t pid);
  void Continue(pid_t pid);
  // Ends pid (SIGTERM, then SIGKILL after 3 s) and waits until it is gone.
  // False when it outlived SIGKILL.
  bool End(pid_t pid);
  // The processes now running on the bus, the bus itself included.
  std::vector<pid_t> Processes() const;
  // Ends every process on the bus and the bus, undoes the document portal's
  // mount; a test failure when a process is left.
  void EndAll();

 private:
  // Starts options' program and returns its pid once it owns name; 0 when
  // it does not within 5 s.
  pid_t StartOwner(const ProcessOptions& options, const std::string& name, const std::string& logPath);

  std::string folder_;
  std::string runtime_;
  std::string mark_;  // the environment entry every process on the bus carries
  std::string address_;
  std::string startError_;
  pid_t pid_ = 0;
  mutable std::vector<pid_t> started_;  // children of the test, until reaped
  std::vector<pid_t> stopped_;
};

// A "session bus" on a socket of the test's that lies to its first client.
class LyingBus {
 public:
  enum class Lie {
    EndlessGreeting,  // answers the greeting without end, with no line end
    UnaskedReplies,   // answers Hello, then replies to serials never sent, without end
    HelloOnly,        // answers Hello and nothing else
    SilentTcp,        // a tcp peer on loopback: the system takes the connection, nobody answers
  };
  LyingBus(const std::string& folder, Lie lie);
  ~LyingBus();
  std::string address;  // "" where the lie cannot be told (no loopback network)

 private:
  int listener_ = -1;
  std::thread serving_;
};
