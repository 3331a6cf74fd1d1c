// The real program on a real session bus with the real desktop services (the
// file system daemon, its volume monitor, the accessibility bus launcher and
// its bus, the desktop portal and its backend, the input method ibus): with
// any one of them stopped,
// the dialog still maps and answers, and standard error names what was left
// out; with all of them healthy, nothing is left out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/build_paths.h"
#include "support/program.h"
#include "support/session_bus.h"

namespace {

namespace fs = std::filesystem;

// The desktop portal, for the rows where the save dialog would go through it
// (GTK_USE_PORTAL=1).
enum class Portal {
  Unused,    // GTK_USE_PORTAL unset
  Missing,   // not installed: the bus cannot start it
  Refusing,  // runs, but without a file chooser (no backend offers one)
  Running,   // started before the run, its backend too
};

struct HungCase {
  const char* name;
  // "" none, "bus", "a11y-bus", "no-bus" (no address at all), "runtime-folder" (one that
  // cannot be made), "ibus", or the bus name of the service
  const char* stopped;
  const char* said;  // what standard error says, "" nothing
  Portal portal = Portal::Unused;
  const char* windowManager = nullptr;  // of the display, with a stale startup id and typed keys
};

// GTK+ 2 has no portal: it ignores GTK_USE_PORTAL and says nothing.
#ifdef STASHWICK_TOOLKIT_GTK3
#define PORTAL_SAID(what) "stashwick: " what ": the program's own save dialog shows instead"
#else
#define PORTAL_SAID(what) ""
#endif
const char* const PortalName = "org.freedesktop.portal.Desktop";
const char* const PortalBackendName = "org.freedesktop.impl.portal.desktop.gtk";

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
    // Real keys, typed into the name field, reach it.
    {"input_method", "ibus", "stashwick: the input method ibus did not answer"},
    // The trash's own daemon, which GTK 3's sidebar watches as the dialog is made.
    {"trash_mount", "trash", "stashwick: the file system mount Trash (trash:) did not answer"},
#ifdef STASHWICK_TOOLKIT_GTK3
    // What the user set stays: GTK 3's dialog shows hidden files where the
    // user asked for them (GTK+ 2 keeps its settings in a file of its own).
    // The program finds this bus in the runtime folder, its address unset.
    {"settings_without_file_system_daemon", "settings", "stashwick: the file system daemon org.gtk.vfs.Daemon"},
#endif
    {"portal_missing", "", PORTAL_SAID("the desktop portal org.freedesktop.portal.Desktop is not on the session bus"),
     Portal::Missing},
    {"portal", PortalName, PORTAL_SAID("the desktop portal org.freedesktop.portal.Desktop did not answer"),
     Portal::Running},
    // The error's text names the interface that the portal lacks.
    {"portal_without_file_chooser", "",
     PORTAL_SAID("the desktop portal has no file chooser (org.freedesktop.DBus.Error.InvalidArgs: No such "
                 "interface \u201corg.freedesktop.portal.FileChooser\u201d)"),
     Portal::Refusing},
    {"portal_backend", PortalBackendName,
     PORTAL_SAID("the desktop portal's backend org.freedesktop.impl.portal.desktop.gtk did not answer"),
     Portal::Running},
    {"mutter_stale_startup_id", "", "", Portal::Unused, "mutter"},
    {"openbox_stale_startup_id", "", "", Portal::Unused, "openbox"},
};

pid_t FirstChild(pid_t parent) {
  std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
  long child = 0;
  return children >> child ? static_cast<pid_t>(child) : 0;
}

// What the bus of a row offers and passes on to the services it starts.
SessionBusOptions BusOptions(const ScratchDir& scratch, const HungCase& row) {
  SessionBusOptions options;
  // For the file system's mounts and dconf's settings, the services share
  // the program's home, as in a session. (Not for the row without a bus: a
  // process left behind is found by that home.)
  const std::string stopped = row.stopped;
  if (stopped == "trash" || stopped == "settings") options.env = PrivateDesktopEnv(scratch);
  const Portal portal = row.portal;
  if (portal == Portal::Unused) return options;
  // The portal picks the backend whose UseIn names the desktop.
  options.env.emplace_back("XDG_CURRENT_DESKTOP", "GNOME");
  if (portal == Portal::Missing) options.leftOut = {PortalName};
  if (portal == Portal::Refusing) {
    // The portal reads its backends' descriptions there: none.
    fs::create_directories(scratch / "no-portals");
    options.env.emplace_back("XDG_DESKTOP_PORTAL_DIR", scratch / "no-portals");
  }
  return options;
}

// A session bus of one row's own, with the services that it starts.
class PrivateSession {
 public:
  explicit PrivateSession(const HungCase& row)
      : portal_(row.portal), bus_(scratch_ / "session", BusOptions(scratch_, row)) {}

  // A run answered with accept (or answer), with the bridge and the bus of this test.
  ProcessResult Run(const std::string& report, bool withBus = true, const std::string& runtime = "",
                    bool usePortal = false, const std::string& answer = "accept") {
    ProcessOptions run = AnsweredRun(scratch_, {"Save report", scratch_ / "home/report.txt", "", "0"}, answer);
    for (auto& [name, value] : run.env)
      if (name == "GTK_MODULES") value = std::string("gail:atk-bridge:") + TestAnswerModule;
    if (withBus) {
      const Environment client = bus_.ClientEnv();
      run.env.insert(run.env.end(), client.begin(), client.end());
    }
    run.env.emplace_back("XDG_RUNTIME_DIR", runtime.empty() ? bus_.runtimeFolder() : runtime);
    run.env.emplace_back("STASHWICK_ANSWER_REPORT", report);
    if (!display_.empty()) run.env.emplace_back("DISPLAY", display_);
    run.env.insert(run.env.end(), env_.begin(), env_.end());
    if (usePortal) run.env.emplace_back("GTK_USE_PORTAL", "1");
    // The daemon's modules, named there too, stay out as well.
    run.env.emplace_back("GIO_EXTRA_MODULES", TestGioModuleDir);
    run.unsetEnv = {"NO_AT_BRIDGE", "GIO_USE_VFS", "GIO_USE_VOLUME_MONITOR", "GIO_MODULE_DIR", "GTK_USE_PORTAL"};
    if (!withBus) run.unsetEnv.push_back("DBUS_SESSION_BUS_ADDRESS");
    // A stopped service holds the toolkit for 25 s or more; a healthy run takes well under 1 s.
    run.timeoutSeconds = 10;
    return RunProcess(run);
  }

  ScratchDir scratch_;
  Portal portal_;
  PrivateSessionBus bus_;
  std::string display_;  // the X server of the runs, where not the test's
  Environment env_;      // more for the runs
};

// A command of GLib's tools (gio, gsettings, gdbus) as a client of the row's bus.
ProcessResult BusClient(PrivateSession& session, std::initializer_list<const char*> args) {
  ProcessOptions command;
  command.args.assign(args.begin(), args.end());
  command.env = PrivateDesktopEnv(session.scratch_);
  const Environment client = session.bus_.ClientEnv();
  command.env.insert(command.env.end(), client.begin(), client.end());
  command.timeoutSeconds = 10;
  return RunProcess(command);
}

// Mounts the trash on the row's bus, as a file manager does, and returns the
// process of its daemon (from the file system daemon's list of mounts); 0
// when there is none.
pid_t TrashDaemon(PrivateSession& session) {
  BusClient(session, {"/usr/bin/gio", "list", "trash:///"});
  const ProcessResult mounts =
      BusClient(session, {"/usr/bin/gdbus", "call", "--session", "--dest", "org.gtk.vfs.Daemon", "--object-path",
                          "/org/gtk/vfs/mounttracker", "--method", "org.gtk.vfs.MountTracker.ListMounts"});
  // Each mount is a tuple that begins with its daemon's unique name: ('<name>', ..., 'trash:', ...).
  const size_t scheme = mounts.out.find("'trash:'");
  const size_t start = scheme == std::string::npos ? scheme : mounts.out.rfind("(':", scheme);
  if (start == std::string::npos) return 0;
  const size_t end = mounts.out.find('\'', start + 2);
  return session.bus_.Owner(mounts.out.substr(start + 2, end - start - 2));
}

// Starts an X server of the row's own, on its bus, which ends it: keys typed
// there reach the row's dialog, and no other test's that shares the test's
// display. Returns its display name, "" when none starts.
std::string PrivateDisplay(PrivateSession& session) {
  for (int number = 100 + getpid() % 400, tries = 0; tries < 20; ++number, ++tries) {
    const std::string name = ":" + std::to_string(number);
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(number) + "-lock")) continue;
    ProcessOptions server;
    server.args = {"/usr/bin/Xvfb", name, "-nolisten", "tcp", "-screen", "0", "1280x1024x24"};
    if (session.bus_.Start(server, session.scratch_ / "xvfb.log") <= 0) return "";
    for (int attempt = 0; attempt < 60; ++attempt) {
      if (fs::exists(socket)) return name;
      usleep(50 * 1000);
    }
  }
  return "";
}

// Starts the input method ibus on the row's bus, for the runs' display and
// home, and returns its daemon once its address is kept for the display; 0
// when it does not start.
pid_t InputMethodDaemon(PrivateSession& session) {
  ProcessOptions daemon;
  daemon.args = {"/usr/bin/ibus-daemon", "--panel=disable"};
  daemon.env = PrivateDesktopEnv(session.scratch_);
  daemon.env.emplace_back("DISPLAY", session.display_);
  const pid_t pid = session.bus_.Start(daemon, session.scratch_ / "ibus.log");
  const fs::path addresses = session.scratch_ / "home/.config/ibus/bus";
  for (int attempt = 0; pid > 0 && attempt < 100; ++attempt) {
    std::error_code none;
    if (!fs::is_empty(addresses, none) && !none) return pid;
    usleep(50 * 1000);
  }
  return 0;
}

// xdotool with these arguments on the display.
ProcessResult Xdotool(const std::string& display, std::initializer_list<const char*> args) {
  ProcessOptions xdotool;
  xdotool.args = {"/usr/bin/xdotool"};
  xdotool.args.insert(xdotool.args.end(), args.begin(), args.end());
  xdotool.env = {{"DISPLAY", display}};
  xdotool.timeoutSeconds = 10;
  return RunProcess(xdotool);
}

// Types name into the dialog's name field, in place of the proposed one, and
// presses Return, as a person does: real key events through the X server,
// which go to the window that has the focus. Under a window manager *active
// is the title of the window it makes active once the dialog shows.
void TypeName(const std::string& display, const std::string& name, std::string* active = nullptr) {
  Xdotool(display, {"search", "--sync", "--onlyvisible", "--name", "Save report"});
  for (int attempt = 0; active && attempt < 80 && *active != "Save report\n"; ++attempt, usleep(100 * 1000))
    *active = Xdotool(display, {"getactivewindow", "getwindowname"}).out;
  for (std::initializer_list<const char*> keys : {std::initializer_list<const char*>{"key", "--delay", "30", "ctrl+a"},
                                                  {"type", "--delay", "30", name.c_str()}, {"key", "Return"}})
    Xdotool(display, keys);
}

// The user's setting that the dialog show hidden files, kept by dconf.
bool ShowHiddenFiles(PrivateSession& session) {
  const ProcessResult set = BusClient(
      session, {"/usr/bin/gsettings", "set", "org.gtk.Settings.FileChooser", "show-hidden", "true"});
  const ProcessResult get =
      BusClient(session, {"/usr/bin/gsettings", "get", "org.gtk.Settings.FileChooser", "show-hidden"});
  return set.exitCode == 0 && get.out == "true\n";
}

// The processes of a run with this home that are still there 3 s after it
// ended (the toolkit's helpers, such as an image loader of its own, take a
// moment to go), one command line each, "" for none; they are ended.
std::string LeftBehind(const std::string& home) {
  std::vector<pid_t> left = ProcessesWith("HOME=" + home);
  for (int attempt = 0; !left.empty() && attempt < 30; ++attempt) {
    usleep(100 * 1000);
    left = ProcessesWith("HOME=" + home);
  }
  std::string commands;
  for (const pid_t pid : left) {
    std::string command = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(command.begin(), command.end(), '\0', ' ');
    commands += command + "\n";
    kill(pid, SIGTERM);
  }
  return commands;
}

// Stops the row's service, runs the dialog and checks it.
void RunRow(PrivateSession& session, const HungCase& row) {
  PrivateSessionBus& bus = session.bus_;
  ASSERT_TRUE(bus.running()) << bus.startError();
  const std::string stopped = row.stopped;
  if (stopped == "no-bus") {
    // The accessibility bridge starts a bus of its own when there is none
    // (dbus-launch), which would outlive the program.
    const ProcessResult alone = session.Run(session.scratch_ / "alone.report", false);
    EXPECT_EQ(alone.exitCode, 0) << alone.err;
    EXPECT_EQ(alone.out, session.scratch_ / "home/report.txt");
    EXPECT_EQ(LeftBehind(session.scratch_ / "home"), "");
    return;
  }
  // A first run starts the services on the bus, as a desktop session has them.
  const ProcessResult first = session.Run(session.scratch_ / "first.report");
  ASSERT_EQ(first.exitCode, 0) << first.err;
  // The portal's backend is pinged only while the portal runs, as in a session.
  if (row.portal == Portal::Running) {
    ASSERT_GT(bus.Started(PortalName), 0) << "the portal did not start";
  }
  pid_t stop = 0;
  if (stopped == "bus") {
    stop = bus.pid();
  } else if (stopped == "a11y-bus") {
    if (const pid_t launcher = bus.Owner("org.a11y.Bus")) stop = FirstChild(launcher);
    // Where the bridge takes a bus that the display still names from an
    // earlier session, no launcher starts on this one (seen in a Debian 13
    // root): there is no bus of this session to stop, and the row says so.
    if (stop <= 0) {
      std::printf("row %s: no accessibility bus started on this session bus; not stopped\n", row.name);
      return;
    }
  } else if (stopped == "trash") {
    stop = TrashDaemon(session);
    ASSERT_GT(stop, 0) << "the trash was not mounted on the bus";
  } else if (stopped == "ibus") {
    if (!OnX11()) {
      std::printf("row %s: keys are typed through the X server; not run on Wayland\n", row.name);
      return;
    }
    if (access("/usr/bin/ibus-daemon", X_OK) != 0 || access("/usr/bin/xdotool", X_OK) != 0) {
      std::printf("row %s: needs ibus and xdotool (packages ibus, xdotool); not run\n", row.name);
      return;
    }
    session.display_ = PrivateDisplay(session);
    ASSERT_FALSE(session.display_.empty()) << "no X server: " << ReadFile(session.scratch_ / "xvfb.log");
    stop = InputMethodDaemon(session);
    ASSERT_GT(stop, 0) << "ibus did not start: " << ReadFile(session.scratch_ / "ibus.log");
  } else if (row.windowManager) {
    const std::string manager = std::string("/usr/bin/") + row.windowManager;
    if (!OnX11() || access("/usr/bin/xdotool", X_OK) != 0 ||
        (access(manager.c_str(), X_OK) != 0 && !std::getenv("STASHWICK_REQUIRE_DISPLAY"))) {
      std::printf("row %s: needs X, xdotool and %s (packages xdotool, %s)\n", row.name, row.windowManager,
                  row.windowManager);
      return;
    }
    ProcessOptions wm;
    wm.args = {manager, "--replace"};
    if (std::string(row.windowManager) == "mutter") {
      ProcessOptions help;
      help.args = {manager, "--help"};
      if (RunProcess(help).out.find("--x11") == std::string::npos) {
        std::printf("row %s: this mutter manages no X11 display (mutter 49 and later)\n", row.name);
        return;
      }
      wm.args.push_back("--x11");
    }
    session.display_ = PrivateDisplay(session);
    wm.env = PrivateDesktopEnv(session.scratch_);
    wm.env.emplace_back("DISPLAY", session.display_);
    ASSERT_GT(bus.Start(wm, session.scratch_ / "wm.log"), 0) << manager;
    // A window mapped while the manager starts may stay unmanaged.
    for (int attempt = 0; attempt < 100 && Xdotool(session.display_, {"get_num_desktops"}).exitCode != 0; ++attempt)
      usleep(50 * 1000);
    // The caller, active, clicked after the launcher's time.
    ProcessOptions caller = AnsweredRun(session.scratch_, {"Caller", "", "", "0"}, "none");
    caller.env.emplace_back("DISPLAY", session.display_);
    ASSERT_GT(bus.Start(caller, session.scratch_ / "caller.log"), 0);
    // A click inside it makes it active: the first window of that name may
    // be the manager's frame around it (mutter 44 and later), which no
    // activation request makes active.
    // A manager still starting may not take the first click.
    std::string active;
    for (int attempt = 0; attempt < 100 && active != "Caller\n"; ++attempt, usleep(100 * 1000)) {
      if (attempt % 20 == 0)
        Xdotool(session.display_, {"search", "--sync", "--onlyvisible", "--name", "^Caller$", "mousemove", "--window",
                                   "%1", "150", "150", "click", "1"});
      active = Xdotool(session.display_, {"getactivewindow", "getwindowname"}).out;
    }
    if (active != "Caller\n") {
      std::printf("row %s: %s made no window active here (wm.log: %s); not run\n", row.name, row.windowManager,
                  ReadFile(session.scratch_ / "wm.log").substr(0, 300).c_str());
      return;
    }
    session.env_ = {{"DESKTOP_STARTUP_ID", "launcher-1234_TIME1"}};
  } else if (stopped == "settings") {
    ASSERT_TRUE(ShowHiddenFiles(session));
    stop = bus.Started("org.gtk.vfs.Daemon");
    ASSERT_GT(stop, 0) << "the file system daemon did not start on the bus";
  } else if (!stopped.empty() && stopped != "runtime-folder") {
    stop = bus.Started(stopped);
    ASSERT_GT(stop, 0) << stopped << " did not start on the bus";
  }
  if (stop > 0) bus.Stop(stop);

  const std::string report = session.scratch_ / "report";
  if (stopped == "settings") {
    // The bus of a session that keeps it in the runtime folder, and names no address.
    fs::create_symlink(bus.socketPath(), bus.runtimeFolder() + "/bus");
  }
  const bool typed = stopped == "ibus" || row.windowManager;
  std::string active;
  std::thread typist;
  if (typed) typist = std::thread(TypeName, session.display_, "typed.txt", row.windowManager ? &active : nullptr);
  // Nothing can be made below /dev/null: as for a user whose runtime folder is
  // missing or root's.
  const ProcessResult run = session.Run(report, stopped != "settings",
                                        stopped == "runtime-folder" ? "/dev/null/run" : "",
                                        row.portal != Portal::Unused, typed ? "none" : "accept");
  if (typist.joinable()) typist.join();
  EXPECT_TRUE(!row.windowManager || active == "Save report\n") << "the window manager made active " << active;
  if (stopped == "settings") {
    EXPECT_NE(ReadFile(report).find("\nhidden=1\n"), std::string::npos)
        << "the dialog did not show hidden files: the user's setting was lost";
  }
  ASSERT_FALSE(run.timedOut) << row.name << ": the dialog was held back";
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, session.scratch_ / (typed ? "home/typed.txt" : "home/report.txt"));
  // Whatever is left out, dconf never floods standard error at each setting
  // it cannot read or keep. Where the runtime folder is said to be unusable,
  // neither does the file system layer at each mount it then reaches over
  // the bus instead of directly.
  EXPECT_EQ(run.err.find("dconf-"), std::string::npos) << run.err;
  if (stopped == "runtime-folder" && *row.said) {
    EXPECT_EQ(run.err.find("peer-to-peer"), std::string::npos) << run.err;
  }
  if (row.portal != Portal::Unused && *row.said) {
    // The portal left out: that one line, whole, and no other of ours.
    EXPECT_EQ(OurLines(run.err), std::string(row.said) + "\n") << run.err;
  } else if (*row.said) {
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
  const bool portal = access("/usr/libexec/xdg-desktop-portal", X_OK) == 0 &&
                      access("/usr/libexec/xdg-desktop-portal-gtk", X_OK) == 0;
  std::string notRun;
  for (const HungCase& row : HungCases) {
    SCOPED_TRACE(row.name);
    if (row.portal != Portal::Unused && !portal) {
      notRun += std::string(" ") + row.name;
      continue;
    }
    PrivateSession session(row);
    RunRow(session, row);
  }
  if (!notRun.empty())
    GTEST_SKIP() << "rows" << notRun
                 << " need the desktop portal (packages xdg-desktop-portal, xdg-desktop-portal-gtk)";
}

}  // namespace

// Outside a desktop session nothing is started that outlives the run: the
// accessibility bus's socket and dconf's database, which such a bus and its
// services leave in the home, are not there afterwards, and no process is
// left. (A GTK 3 program that does nothing about it leaves both, and six
// processes; a GTK+ 2 one with an input method installed leaves a bus.) An
// address where nothing listens is no bus either: the toolkit would warn at
// each use of it. A "bus" that lies holds neither the dialog nor memory: one
// line, and the toolkit goes without it.
TEST(DesktopServices, NoUsableSessionBusHoldsTheDialogOrOutlivesIt) {
  if (!RequireDisplay()) return;
  ScratchDir scratch;
  const std::string dead = scratch / "ended-bus";
  {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::snprintf(where.sun_path, sizeof where.sun_path, "%s", dead.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    close(fd);  // the socket file stays; nobody listens on it
  }
  const std::string silent = "stashwick: the session bus did not answer: network places, the volume list and the "
                             "accessibility bridge are left out\n";
  using Lie = LyingBus::Lie;
  const struct {
    std::string address;
    std::optional<Lie> lie;
    std::string said;
  } rows[] = {
      {"", {}, ""},
      {"unix:path=" + dead, {}, ""},
      {"unix:path=/" + std::string(100000, 'a'), {}, ""},
      {"tcp:host=127.0.0.1,port=9", {}, ""},  // discard: refused
      {"unixexec:path=/bin/sleep,argv0=sleep,argv1=60", {},
       "stashwick: the session bus's address names a transport that cannot be checked: network places, the "
       "volume list and the accessibility bridge are left out\n"},
      {"", Lie::EndlessGreeting, silent},
      {"", Lie::UnaskedReplies, silent},
      {"", Lie::HelloOnly, silent},
      {"", Lie::SilentTcp, silent},
  };
  [[maybe_unused]] long healthyKiB = 0;
  for (const auto& row : rows) {
    std::optional<LyingBus> bus;
    if (row.lie) bus.emplace(scratch.path(), *row.lie);
    if (bus && bus->address.empty()) {
      std::printf("the tcp bus's row: no loopback network here (a package build's namespace); not run\n");
      continue;
    }
    const std::string address = bus ? bus->address : row.address;
    SCOPED_TRACE("bus address '" + address.substr(0, 80) + "', lie " + std::to_string(row.lie ? static_cast<int>(*row.lie) : -1));
    ProcessOptions run = AnsweredRun(scratch, {"Save", scratch / "kept.txt", "", "0"}, "accept");
    run.unsetEnv = {"DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE", "GSETTINGS_BACKEND", "GTK_IM_MODULE"};
    run.env.emplace_back("XDG_RUNTIME_DIR", scratch / "home");  // no bus there
    if (!address.empty()) run.env.emplace_back("DBUS_SESSION_BUS_ADDRESS", address);
    run.timeoutSeconds = 30;  // a held dialog; a run takes about 1 s (several with sanitizers on a busy machine)
    const ProcessResult result = RunProcess(run);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, scratch / "kept.txt");
    EXPECT_EQ(result.err, row.said);
    // Replies kept without end grew it by 33 MB (GTK+ 2), 45 MB (GTK 3).
    // (The address sanitizer holds freed memory back.)
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);  // the most that a run of the test took yet
    if (!row.lie) healthyKiB = usage.ru_maxrss;
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(usage.ru_maxrss, healthyKiB + 10 * 1024) << "KiB at the most";
#endif
    EXPECT_FALSE(fs::exists(scratch / "home/.cache/at-spi"));
    EXPECT_FALSE(fs::exists(scratch / "home/.config/dconf"));
    // An input method's module (ibus, fcitx, where installed) starts one through the display.
    EXPECT_EQ(LeftBehind(scratch / "home"), "");
  }
}
