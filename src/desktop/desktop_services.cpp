#include "desktop/desktop_services.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "desktop/service_checks.h"

// The services asked, and what the toolkit goes without, for the run, when
// one of them is silent (each silence says so in one line):
//
//   service                              asked with             silent: left out
//   the session bus                      greeting (Hello)       the bus: gvfs, the volume list, the
//                                                               accessibility bridge, dconf (GTK 3),
//                                                               the portal
//   gvfs's daemon org.gtk.vfs.Daemon     Ping                   gvfs: network places, the volume list;
//                                                               GIO loads only its settings module
//   each mount gvfsd runs (the trash)    ListMounts, then Ping  gvfs: local files only
//   each gvfs volume monitor             Ping                   the volume list
//   the accessibility bus launcher       GetAddress             the accessibility bridge
//   the accessibility bus                greeting               the accessibility bridge
//   the desktop portal (where the save   NameHasOwner, the      the portal: the program's own dialog
//   dialog would use it)                 file chooser's version
//   each portal backend that runs        Ping                   the portal: the program's own dialog
//   the input method ibus, on its own    greeting (Hello)       ibus: keys go through the toolkit's
//   bus (where the toolkit may use it)                          built-in input method
//
// The checks live beside this file: the bus link (bus_link), the file
// system (file_system_check), the accessibility bridge (accessibility_check),
// the portal (portal_check) and the input method (input_method_check).
//
// Not a service, but checked with them: a runtime folder where dconf cannot
// keep its state (GTK 3) leaves dconf out, with one line. A service that is
// not running is not started, but for the portal, which the dialog needs.
// Without a session bus the toolkit gets none: nothing that it, its
// accessibility bridge or an input method's module would start in its place
// outlives the program.

namespace {

// How long the services of the session bus have, in all, to answer: well
// under a second, and far above the few milliseconds that a healthy bus takes
// on a busy machine. The accessibility bus and the input method's bus have
// deadlines of their own after it.
constexpr gint64 SessionDeadlineUs = 300 * 1000;

// Whether this run's save dialog goes through the portal.
bool PortalChosen = false;

// What the toolkit gets instead of a session bus: an address of no transport,
// which the bus libraries refuse at once, without starting a bus.
const char* const NoBus = "disabled:";

// No session bus: the toolkit's file system layer starts none, but the
// accessibility bridge and an input method's module (ibus, fcitx) would each
// start one of their own (dbus-launch) that outlives the program. The bridge
// still finds an accessibility bus that the display names, and the input
// method its own bus; the file system layer stays local, as without a bus.
void KeepOffAMissingBus(const DesktopToolkit& toolkit) {
  KeepEnvironment("GIO_USE_VFS", "local");
  KeepEnvironment("GIO_USE_VOLUME_MONITOR", "unix");
  setenv("DBUS_SESSION_BUS_ADDRESS", NoBus, 1);
  if (toolkit.autolaunchesBus) {
    // Nothing to reach on a bus that is not there: the bridge stays out,
    // and the settings that dconf would keep on it are this run's own.
    KeepEnvironment("NO_AT_BRIDGE", "1");
    setenv("GSETTINGS_BACKEND", "memory", 0);  // unless the caller picked one
  }
}

// A session bus that may hold the toolkit back: the toolkit gets none, with
// one line that begins with why, and one for the portal where it is wanted.
void LeaveSessionBusOut(const std::string& why, const DesktopToolkit& toolkit, const char* portalWhy) {
  SayServiceLine(why + ": network places, the volume list and the accessibility bridge are left out");
  KeepEnvironment("GIO_USE_VFS", "local");
  KeepEnvironment("GIO_USE_VOLUME_MONITOR", "unix");
  KeepEnvironment("NO_AT_BRIDGE", "1");
  setenv("DBUS_SESSION_BUS_ADDRESS", NoBus, 1);
  // dconf writes through the bus: its settings are this run's own too.
  if (toolkit.readsDconf) setenv("GSETTINGS_BACKEND", "memory", 0);
  if (portalWhy) LeavePortalOut(portalWhy);
}

// dconf keeps its shared state in <runtime folder>/dconf, and where it cannot
// make that folder (a runtime folder that is not there for this user, or not
// theirs) it says so at every read of a setting: dozens of lines on standard
// error for one dialog. The settings are then this run's own, in one line.
void KeepDconfOffAnUnusableRuntimeFolder(const DesktopToolkit& toolkit) {
  if (!toolkit.readsDconf || std::getenv("GSETTINGS_BACKEND")) return;
  const gchar* runtime = g_get_user_runtime_dir();
  gchar* folder = g_build_filename(runtime, "dconf", nullptr);
  // The same folder, made the same way, as dconf makes it on its first read.
  const bool usable = g_mkdir_with_parents(folder, 0700) == 0 && access(folder, W_OK | X_OK) == 0;
  g_free(folder);
  if (usable) return;
  SayServiceLine(std::string("the runtime folder ") + runtime +
                 " cannot hold the settings' shared state: the dialog's settings are this run's own");
  KeepEnvironment("GSETTINGS_BACKEND", "memory");
  // The file system layer looks there for the daemon's direct sockets too,
  // and says at each mount that it talks over the session bus instead, as it
  // then does; that line only repeats this one.
  g_log_set_handler(
      "GVFS", G_LOG_LEVEL_WARNING,
      [](const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
        if (message && std::strstr(message, "The peer-to-peer connection failed")) return;
        g_log_default_handler(domain, level, message, nullptr);
      },
      nullptr);
}

// The session bus's address: DBUS_SESSION_BUS_ADDRESS, or where that is not
// set, the bus of the user's session in the runtime folder, as the bus
// library finds it; "" for none.
std::string SessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) return address;
  gchar* socket = g_build_filename(g_get_user_runtime_dir(), "bus", nullptr);
  std::string address;
  if (g_file_test(socket, G_FILE_TEST_EXISTS)) {
    gchar* escaped = g_dbus_address_escape_value(socket);
    address = std::string("unix:path=") + escaped;
    g_free(escaped);
  }
  g_free(socket);
  return address;
}

}  // namespace

void SayServiceLine(const std::string& line) { std::fprintf(stderr, "stashwick: %s\n", line.c_str()); }

void KeepEnvironment(const char* name, const char* value) { setenv(name, value, 1); }

bool ServiceAnswered(const BusLink& link, guint32 serial) { return link.Reply(serial) != nullptr; }

bool IsErrorReply(GDBusMessage* reply) {
  return g_dbus_message_get_message_type(reply) == G_DBUS_MESSAGE_TYPE_ERROR;
}

bool PortalSaveDialogChosen() { return PortalChosen; }

void KeepHungDesktopServicesAway(bool dialogFollows, const DesktopToolkit& toolkit) {
  const bool bridge = BridgeRequested(toolkit);
  const bool portal = dialogFollows && PortalWanted(toolkit);
  const char* const noBusForPortal = "there is no session bus for the desktop portal";
  const std::string address = SessionBusAddress();
  if (address.empty()) KeepOffAMissingBus(toolkit);
  // A toolkit that starts without a dialog (the help and version screens)
  // talks to no service that could hold it back.
  if (!dialogFollows) return;
  CheckInputMethod();
  if (address.empty()) {
    if (portal) LeavePortalOut(noBusForPortal);
    return;
  }
  BusLink session(g_get_monotonic_time() + SessionDeadlineUs);
  if (!session.Connect(address.c_str())) {
    if (!session.TriedAll()) {
      LeaveSessionBusOut("the session bus's address names a transport that cannot be checked", toolkit,
                         portal ? "the desktop portal is on the session bus, which cannot be checked" : nullptr);
      return;
    }
    // Nothing listens: the toolkit fails at once too, and says so (a stale
    // address from an ended session); GTK 3's settings would then warn at
    // every change they fail to keep there. Such a bus counts as missing.
    KeepOffAMissingBus(toolkit);
    if (portal) LeavePortalOut(noBusForPortal);
    return;
  }
  if (!session.Greet()) {
    LeaveSessionBusOut("the session bus did not answer", toolkit,
                       portal ? "the desktop portal is on the session bus, which did not answer" : nullptr);
    return;
  }
  KeepDconfOffAnUnusableRuntimeFolder(toolkit);
  // One call to each service that runs, all sent at once; a name that nobody
  // owns gets the bus's error at once and is not started.
  std::vector<guint32> calls;
  const FileSystemCalls fileSystem = AskFileSystem(session, calls);
  const guint32 addressCall = bridge ? AskAccessibility(session) : 0;
  if (addressCall) calls.push_back(addressCall);
  const PortalCalls portalCalls = portal ? AskPortal(session, calls) : PortalCalls{};
  session.Await(calls);
  CheckFileSystem(session, fileSystem);
  if (bridge) CheckAccessibility(session, addressCall);
  if (portal) PortalChosen = CheckPortal(session, portalCalls);
}
