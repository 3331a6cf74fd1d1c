// The real program on a real session bus with the real desktop services (the
// file system daemon, its volume monitor, the accessibility bus launcher and
// its bus): with any one of them stopped, the dialog still maps and answers,
// and standard error names what was left out; with all of them healthy,
// nothing is left out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/program.h"

namespace {

namespace fs = std::filesystem;

// A session bus of its own, that activates the installed services.
const char* const BusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  <standard_session_servicedirs/>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

struct HungCase {
  const char* name;
  // "" none, "bus", "a11y-bus", "no-bus" (no address at all), "runtime-folder" (one that
  // cannot be made), or the bus name of the service
  const char* stopped;
  const char* said;  // what standard error says, "" nothing
};

// GTK+ 2 keeps no settings in dconf: an unusable runtime folder changes nothing there.
#ifdef STASHWICK_TOOLKIT_GTK3
const char* const RuntimeFolderSaid = "stashwick: the runtime folder /dev/null/run cannot hold";
#else
const char* const RuntimeFolderSaid = "";
#endif

const HungCase HungCases[] = {
    {"healthy", "", ""},
    {"no_session_bus", "no-bus", ""},
    {"session_bus", "bus", "stashwick: the session bus did not answer"},
    {"file_system_daemon", "org.gtk.vfs.Daemon",
     "stashwick: the file system daemon org.gtk.vfs.Daemon did not answer"},
    {"volume_monitor", "org.gtk.vfs.UDisks2VolumeMonitor",
     "stashwick: the volume monitor org.gtk.vfs.UDisks2VolumeMonitor did not answer: the volume list is left out"},
    {"accessibility_bus", "a11y-bus", "stashwick: the accessibility bus did not answer"},
    {"accessibility_launcher", "org.a11y.Bus",
     "stashwick: the accessibility bus launcher org.a11y.Bus did not answer"},
    {"runtime_folder", "runtime-folder", RuntimeFolderSaid},
};

// The processes whose environment holds entry (a bus started by a run
// inherits the run's private HOME).
std::vector<pid_t> ProcessesWith(const std::string& entry) {
  std::vector<pid_t> found;
  for (const auto& process : fs::directory_iterator("/proc")) {
    const std::string name = process.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string environment = ReadFile(process.path() / "environ");
    if (("\0" + environment).find(std::string(1, '\0') + entry + '\0') != std::string::npos)
      found.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return found;
}

pid_t FirstChild(pid_t parent) {
  std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
  long child = 0;
  return children >> child ? static_cast<pid_t>(child) : 0;
}

// A session bus of one row's own, with the services that it starts.
class PrivateSession {
 public:
  PrivateSession() {
    fs::create_directories(scratch_ / "bus");
    fs::create_directories(scratch_ / "run");
    fs::permissions(scratch_ / "run", fs::perms::owner_all);
    std::string config = BusConfig;
    config.replace(config.find("@DIR@"), 5, scratch_ / "bus");
    WriteFile(scratch_ / "session.conf", config);
    ProcessOptions bus;
    bus.args = {"/usr/bin/dbus-daemon", "--config-file=" + (scratch_ / "session.conf"), "--fork",
                "--print-address=1", "--print-pid=1"};
    const ProcessResult started = RunProcess(bus);
    std::istringstream printed(started.out);
    printed >> address_ >> busPid_;
    startError_ = started.err;
  }

  PrivateSession(const PrivateSession&) = delete;
  PrivateSession& operator=(const PrivateSession&) = delete;
  ~PrivateSession() {
    if (stopped_ > 0) kill(stopped_, SIGCONT);
    // The services leave when their bus does.
    for (const pid_t pid : {launcher_, busPid_})
      if (pid > 0) kill(pid, SIGTERM);
  }

  // A run answered with accept, with the bridge and the bus of this test.
  ProcessResult Run(const std::string& report, bool withBus = true, const std::string& runtime = "") {
    ProcessOptions run = AnsweredRun(scratch_, {"Save report", scratch_ / "home/report.txt", "", "0"}, "accept");
    for (auto& [name, value] : run.env)
      if (name == "GTK_MODULES") value = std::string("gail:atk-bridge:") + STASHWICK_ANSWER_MODULE;
    if (withBus) run.env.emplace_back("DBUS_SESSION_BUS_ADDRESS", address_);
    run.env.emplace_back("XDG_RUNTIME_DIR", runtime.empty() ? scratch_ / "run" : runtime);
    run.env.emplace_back("STASHWICK_ANSWER_REPORT", report);
    run.unsetEnv = {"NO_AT_BRIDGE", "GIO_USE_VFS", "GIO_USE_VOLUME_MONITOR", "GIO_MODULE_DIR"};
    if (!withBus) run.unsetEnv.push_back("DBUS_SESSION_BUS_ADDRESS");
    // A stopped service holds the toolkit for 25 s or more; a healthy run takes well under 1 s.
    run.timeoutSeconds = 10;
    return RunProcess(run);
  }

  // The process that owns name, started on the bus when it is not running
  // (a volume monitor may have left once the first run did); 0 when it does not start.
  pid_t Started(const std::string& name) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (const pid_t owner = Owner(name)) return owner;
      ProcessOptions start;
      start.args = {"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus.StartServiceByName", "string:" + name,
                    "uint32:0"};
      start.env = {{"DBUS_SESSION_BUS_ADDRESS", address_}};
      RunProcess(start);
      usleep(100 * 1000);
    }
    return 0;
  }

  // The process that owns name on the bus, 0 when none does.
  pid_t Owner(const std::string& name) {
    ProcessOptions ask;
    ask.args = {"/usr/bin/dbus-send", "--session", "--print-reply=literal", "--dest=org.freedesktop.DBus",
                "/org/freedesktop/DBus", "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + name};
    ask.env = {{"DBUS_SESSION_BUS_ADDRESS", address_}};
    const ProcessResult answer = RunProcess(ask);
    std::istringstream words(answer.out);
    std::string type;
    long pid = 0;
    return answer.exitCode == 0 && words >> type >> pid ? static_cast<pid_t>(pid) : 0;
  }

  ScratchDir scratch_;
  std::string address_;
  std::string startError_;
  pid_t busPid_ = 0;
  pid_t launcher_ = 0;
  pid_t stopped_ = 0;
};

// Stops the row's service, runs the dialog and checks it.
void RunRow(PrivateSession& session, const HungCase& row) {
  ASSERT_GT(session.busPid_, 0) << session.startError_;
  const std::string stopped = row.stopped;
  if (stopped == "no-bus") {
    // The accessibility bridge starts a bus of its own when there is none
    // (dbus-launch), which would outlive the program.
    const ProcessResult alone = session.Run(session.scratch_ / "alone.report", false);
    EXPECT_EQ(alone.exitCode, 0) << alone.err;
    EXPECT_EQ(alone.out, session.scratch_ / "home/report.txt");
    const std::vector<pid_t> left = ProcessesWith("HOME=" + (session.scratch_ / "home"));
    for (const pid_t pid : left) kill(pid, SIGTERM);
    EXPECT_TRUE(left.empty()) << left.size() << " processes left behind";
    return;
  }
  // A first run starts the services on the bus, as a desktop session has them.
  const ProcessResult first = session.Run(session.scratch_ / "first.report");
  ASSERT_EQ(first.exitCode, 0) << first.err;
  session.launcher_ = session.Owner("org.a11y.Bus");
  if (stopped == "bus") {
    session.stopped_ = session.busPid_;
  } else if (stopped == "a11y-bus") {
    if (session.launcher_ > 0) session.stopped_ = FirstChild(session.launcher_);
    // Where the bridge takes a bus that the display still names from an
    // earlier session, no launcher starts on this one (seen in a Debian 13
    // root): there is no bus of this session to stop, and the row says so.
    if (session.stopped_ <= 0) {
      std::printf("row %s: no accessibility bus started on this session bus; not stopped\n", row.name);
      return;
    }
  } else if (!stopped.empty() && stopped != "runtime-folder") {
    session.stopped_ = session.Started(stopped);
    ASSERT_GT(session.stopped_, 0) << stopped << " did not start on the bus";
  }
  if (session.stopped_ > 0) {
    ASSERT_EQ(kill(session.stopped_, SIGSTOP), 0);
  }

  const std::string report = session.scratch_ / "report";
  // Nothing can be made below /dev/null: as for a user whose runtime folder is
  // missing or root's.
  const ProcessResult run = session.Run(report, true, stopped == "runtime-folder" ? "/dev/null/run" : "");
  ASSERT_FALSE(run.timedOut) << row.name << ": the dialog was held back";
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, session.scratch_ / "home/report.txt");
  // Whatever is left out, dconf never floods standard error at each setting
  // it cannot read or keep. Where the runtime folder is said to be unusable,
  // neither does the file system layer at each mount it then reaches over
  // the bus instead of directly.
  EXPECT_EQ(run.err.find("dconf-"), std::string::npos) << run.err;
  if (stopped == "runtime-folder" && *row.said) {
    EXPECT_EQ(run.err.find("peer-to-peer"), std::string::npos) << run.err;
  }
  if (*row.said) {
    EXPECT_NE(run.err.find(row.said), std::string::npos) << run.err;
  } else {
    // Healthy: nothing is left out (each setting that keeps the toolkit away
    // from a service comes with its line).
    EXPECT_EQ(("\n" + run.err).find("\nstashwick: "), std::string::npos) << run.err;
  }
}

// One test for the table, its rows one after the other: the accessibility
// bus launcher names its bus on the display, which the rows share.
TEST(DesktopServices, TheDialogMapsAndAnswersWithAnyOneStopped) {
  if (!RequireDisplay()) return;
  for (const char* program : {"/usr/bin/dbus-daemon", "/usr/bin/dbus-send"})
    if (access(program, X_OK) != 0) GTEST_SKIP() << "needs " << program << " (package dbus)";
  if (access("/usr/libexec/gvfsd", X_OK) != 0 || access("/usr/libexec/gvfs-udisks2-volume-monitor", X_OK) != 0)
    GTEST_SKIP() << "needs gvfs (packages gvfs, gvfs-daemons)";
  bool bridge = false;  // the toolkit's accessibility bridge module, in /usr/lib/<multiarch>/
  for (const auto& entry : fs::directory_iterator("/usr/lib"))
    bridge = bridge || fs::exists(entry.path() / "gtk-2.0/modules/libatk-bridge.so");
  if (access("/usr/libexec/at-spi-bus-launcher", X_OK) != 0 || !bridge)
    GTEST_SKIP() << "needs the accessibility bus and bridge (packages at-spi2-core, libatk-adaptor)";
  for (const HungCase& row : HungCases) {
    SCOPED_TRACE(row.name);
    PrivateSession session;
    RunRow(session, row);
  }
}

}  // namespace

// Outside a desktop session nothing is started that outlives the run: the
// accessibility bus's socket and dconf's database, which such a bus and its
// services leave in the home, are not there afterwards, and standard error
// stays empty. (A GTK 3 program that does nothing about it leaves both, and
// six processes.) For GTK 3 the address of an ended session, whose socket
// nobody listens on, is no bus either: its settings would warn at every
// change they cannot keep there.
TEST(DesktopServices, NoSessionBusStartsNoneOfItsOwn) {
  if (!RequireDisplay()) return;
  ScratchDir scratch;
  std::vector<std::string> addresses = {""};
#ifdef STASHWICK_TOOLKIT_GTK3
  const std::string dead = scratch / "ended-bus";
  {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::snprintf(where.sun_path, sizeof where.sun_path, "%s", dead.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    close(fd);  // the socket file stays; nobody listens on it
  }
  addresses.push_back("unix:path=" + dead);
#endif
  for (const std::string& address : addresses) {
    SCOPED_TRACE("bus address '" + address + "'");
    ProcessOptions run = AnsweredRun(scratch, {"Save", scratch / "kept.txt", "", "0"}, "accept");
    run.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE", "GSETTINGS_BACKEND"};
    if (!address.empty()) run.env.emplace_back("DBUS_SESSION_BUS_ADDRESS", address);
    const ProcessResult result = RunProcess(run);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, scratch / "kept.txt");
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(fs::exists(scratch / "home/.cache/at-spi"));
    EXPECT_FALSE(fs::exists(scratch / "home/.config/dconf"));
  }
}
