// The save dialog from inside a Flatpak-style sandbox: the real program in a
// bubblewrap sandbox (the host's file system read-only, the home hidden, a
// /.flatpak-info at its root and in its runtime folder, as Flatpak lays them),
// with the real desktop portal, its GTK backend and the document portal
// outside it on a session bus of the test's own. Without GTK_USE_PORTAL the
// program takes the portal; the portal exports the file the backend accepted
// through the document portal, the program prints the document's path, and a
// script in the sandbox that writes there writes the host's file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/build_paths.h"
#include "support/program.h"
#include "support/session_bus.h"

namespace {

namespace fs = std::filesystem;

const char* const AppId = "org.example.Stashwick";
// The sandbox's instance, as Flatpak numbers them.
const char* const Instance = "2481632";

bool Mounted(const std::string& folder) {
  return ReadFile("/proc/self/mounts").find(" " + folder + " ") != std::string::npos;
}

// The Wayland display's socket by its full path, "" where there is none.
std::string WaylandSocket() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  if (!display || !*display) return "";
  if (display[0] == '/') return display;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime ? std::string(runtime) + "/" + display : "";
}

// Where the sandbox has the program.
const char* const SandboxedProgram = "/app/bin/stashwick";

// bwrap's arguments for a sandbox of the app: every entry of the host's root
// read-only, the program in /app, its own /dev, /proc, /tmp and home;
// scratch (the test's folder) hidden but for the bus's socket, the runtime
// folder with the app's view of the documents, and the display's sockets.
std::vector<std::string> Sandbox(const std::string& scratch, const PrivateSessionBus& bus, const std::string& home,
                                 const std::string& appInfo) {
  // Newer portals (1.18 on) find the sandbox by its instance, as Flatpak
  // leaves it in the runtime folder: bwrap's description of it (the host's
  // pid of its first process), written before that process runs.
  const std::string instance = bus.runtimeFolder() + "/.flatpak/" + Instance;
  fs::create_directories(instance);
  std::vector<std::string> args = {"/bin/sh", "-c", "info=$1; shift; exec \"$@\" 3>\"$info\"", "sh",
                                   instance + "/bwrapinfo.json", "/usr/bin/bwrap", "--info-fd", "3",
                                   "--unshare-pid", "--die-with-parent", "--cap-drop", "ALL"};
  for (const auto& entry : fs::directory_iterator("/")) {
    const std::string path = entry.path();
    if (path == "/dev" || path == "/proc" || path == "/tmp" || path == "/root" || path == "/home" ||
        path == "/.flatpak-info")
      continue;
    if (entry.is_symlink())
      args.insert(args.end(), {"--symlink", fs::read_symlink(entry.path()), path});
    else
      args.insert(args.end(), {"--ro-bind", path, path});
  }
  args.insert(args.end(), {"--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp", "--tmpfs", "/root", "--tmpfs",
                           "/home", "--tmpfs", scratch});
  if (fs::is_directory("/tmp/.X11-unix")) args.insert(args.end(), {"--bind", "/tmp/.X11-unix", "/tmp/.X11-unix"});
  if (const char* authority = std::getenv("XAUTHORITY"); authority && fs::is_regular_file(authority))
    args.insert(args.end(), {"--ro-bind", authority, authority});
  if (const std::string wayland = WaylandSocket(); !wayland.empty())
    args.insert(args.end(), {"--bind", wayland, wayland, "--setenv", "WAYLAND_DISPLAY", wayland});
  // The app itself, as Flatpak mounts it: the build folder may be anywhere,
  // below /tmp or a home too.
  args.insert(args.end(), {"--ro-bind", TestProgram, SandboxedProgram});
  const std::string socket = fs::path(bus.socketPath()).parent_path();
  args.insert(args.end(), {"--bind", socket, socket});
  const std::string runtime = bus.runtimeFolder();
  args.insert(args.end(), {"--dir", home + "/docs", "--perms", "0700", "--dir", runtime});
  args.insert(args.end(), {"--bind", bus.documentPortalMount() + "/by-app/" + AppId, bus.documentPortalMount()});
  args.insert(args.end(), {"--ro-bind", appInfo, "/.flatpak-info", "--ro-bind", appInfo, runtime + "/flatpak-info"});
  return args;
}

TEST(PortalSandbox, SavedFileIsADocumentThatTheSandboxWritesThrough) {
#ifndef STASHWICK_TOOLKIT_GTK3
  GTEST_SKIP() << "GTK+ 2 has no portal";
#endif
  if (!RequireDisplay()) return;
  const std::pair<const char*, const char*> needed[] = {
      {"/usr/bin/bwrap", "bubblewrap"},
      {"/usr/bin/fusermount3", "fuse3"},
      {"/usr/bin/dbus-daemon", "dbus-daemon"},
      {"/usr/bin/dbus-send", "dbus-bin"},
      {"/usr/libexec/xdg-desktop-portal", "xdg-desktop-portal"},
      {"/usr/libexec/xdg-document-portal", "xdg-desktop-portal"},
      {"/usr/libexec/xdg-permission-store", "xdg-desktop-portal"},
      {"/usr/libexec/xdg-desktop-portal-gtk", "xdg-desktop-portal-gtk"},
  };
  for (const auto& [program, package] : needed)
    if (access(program, X_OK) != 0) GTEST_SKIP() << "needs " << program << " (package " << package << ")";
  const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) GTEST_SKIP() << "the document portal needs /dev/fuse, which cannot be opened: " << std::strerror(errno);
  close(fuse);
  // fusermount3 mounts the document portal's file system for a user other
  // than root by running setuid root, which no_new_privs (set by a sandbox
  // around this process, such as bwrap's around a package build) prevents.
  if (geteuid() != 0 && prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1)
    GTEST_SKIP() << "the document portal cannot mount its file system: fusermount3 needs to run setuid root, "
                    "and no_new_privs is set on this process";

  ScratchDir scratch;
  const Environment desktop = PrivateDesktopEnv(scratch);
  const std::string home = scratch / "home";
  fs::create_directories(home + "/docs");
  SessionBusOptions options;
  options.env = desktop;
  options.env.insert(options.env.end(), {{"XDG_CURRENT_DESKTOP", "GNOME"}, {"NO_AT_BRIDGE", "1"}});
  PrivateSessionBus bus(scratch / "session", options);
  ASSERT_TRUE(bus.running()) << bus.startError();
  // Flatpak asks the document portal for its mount before it lays out the
  // sandbox, whose runtime folder shows the app's view of it.
  ASSERT_GT(bus.Started("org.freedesktop.portal.Documents"), 0) << "the document portal did not start";
  for (int attempt = 0; attempt < 50 && !Mounted(bus.documentPortalMount()); ++attempt) usleep(100 * 1000);
  ASSERT_TRUE(Mounted(bus.documentPortalMount())) << "the document portal mounted nothing";
  Environment steering = desktop;
  steering.insert(steering.end(),
                  {{"NO_AT_BRIDGE", "1"}, {"GTK_MODULES", TestAnswerModule}, {"STASHWICK_ANSWER", "accept"}});
  const pid_t backend = bus.StartPortalBackend(steering, scratch / "backend.log");
  ASSERT_GT(backend, 0) << "the portal's backend did not start: " << ReadFile(scratch / "backend.log");

  const std::string appInfo = scratch / "flatpak-info";
  WriteFile(appInfo, std::string("[Application]\nname=") + AppId + "\n\n[Instance]\ninstance-id=" + Instance + "\n");
  const std::vector<std::string> sandbox = Sandbox(scratch.path(), bus, home, appInfo);
  ProcessOptions run;
  run.args = sandbox;
  run.args.insert(run.args.end(),
                  {SandboxedProgram, "Save report", home + "/docs/report.txt", "Text (*.txt)|*.txt", "0"});
  run.env = desktop;
  const Environment client = bus.ClientEnv();
  run.env.insert(run.env.end(), client.begin(), client.end());
  run.env.emplace_back("NO_AT_BRIDGE", "1");
  // Without the answer module a dialog of the program's own waits for the deadline.
  run.unsetEnv = {"GTK_USE_PORTAL", "GTK_MODULES", "STASHWICK_ANSWER"};
  run.timeoutSeconds = 20;
  const ProcessResult saved = RunProcess(run);
  ASSERT_FALSE(saved.timedOut) << "no answer in 20 s: the program showed a dialog of its own\n" << saved.err;
  ASSERT_EQ(saved.exitCode, 0) << saved.err;
  const std::string documents = bus.runtimeFolder() + "/doc/";
  ASSERT_TRUE(saved.out.starts_with(documents)) << "not a document below " << documents << ": " << saved.out << "\n"
                                                << saved.err;
  EXPECT_EQ(fs::path(saved.out).filename(), "report.txt");

  // A script in the sandbox writes to the printed path; the bytes land in the
  // file that the backend's dialog accepted on the host.
  const std::string bytes = "written in the sandbox\n";
  ProcessOptions write = run;
  write.args = sandbox;
  write.args.insert(write.args.end(), {"/bin/sh", "-c", "printf '%s' \"$2\" > \"$1\"", "sh", saved.out, bytes});
  const ProcessResult written = RunProcess(write);
  EXPECT_EQ(written.exitCode, 0) << written.err;
  EXPECT_EQ(ReadFile(home + "/docs/report.txt"), bytes);
}

}  // namespace
