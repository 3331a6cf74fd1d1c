#include "desktop/desktop_services.h"

#include <gio/gio.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

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
// Not a service, but checked with them: a runtime folder where dconf cannot
// keep its state (GTK 3) leaves dconf out, with one line. A service that is
// not running is not started, but for the portal, which the dialog needs.
// Without a session bus the toolkit gets none: nothing that it, its
// accessibility bridge or an input method's module would start in its place
// outlives the program.

namespace {

// How long the services have, in all, to answer: well under a second, and far
// above the few milliseconds that a healthy bus takes on a busy machine.
constexpr gint64 SessionDeadlineUs = 300 * 1000;
// Then the accessibility bus, whose address the session bus gave, and the
// input method's bus.
constexpr gint64 AccessibilityDeadlineUs = 200 * 1000;
constexpr gint64 InputMethodDeadlineUs = 200 * 1000;

// The file system daemon and the volume monitors that the toolkit's file
// system layer asks over the session bus, when they run.
const char* const VfsDaemon = "org.gtk.vfs.Daemon";
const char* const VolumeMonitors[] = {
    "org.gtk.vfs.UDisks2VolumeMonitor", "org.gtk.vfs.GPhoto2VolumeMonitor",
    "org.gtk.vfs.MTPVolumeMonitor",     "org.gtk.vfs.AfcVolumeMonitor",
    "org.gtk.vfs.GoaVolumeMonitor",
};
const char* const AccessibilityLauncher = "org.a11y.Bus";
// The desktop portal, and the prefix of its backends' names, which show its
// dialogs.
const char* const Portal = "org.freedesktop.portal.Desktop";
const char* const PortalBackendPrefix = "org.freedesktop.impl.portal.desktop.";
// A portal that this run starts has this long: it starts its backends first
// (0.8 s measured cold).
constexpr gint64 PortalStartDeadlineUs = 3 * 1000 * 1000;

// Whether this run's save dialog goes through the portal.
bool PortalChosen = false;

// What the toolkit gets instead of a session bus: an address of no transport,
// which the bus libraries refuse at once, without starting a bus.
const char* const NoBus = "disabled:";

// What the toolkit gets as its folder of GIO modules where none can be made:
// no folder.
const char* const NoModules = "/dev/null";
// The one GIO module kept where the file system daemon is silent: the
// settings backend (dconf), which keeps the user's settings and talks to no
// file system service.
const char* const SettingsModule = "libdconfsettings.so";

void Say(const std::string& line) { std::fprintf(stderr, "stashwick: %s\n", line.c_str()); }

// Sets name for this process.
void Keep(const char* name, const char* value) { setenv(name, value, 1); }

// Whether the modules that the toolkit loads from GTK_MODULES include the
// accessibility bridge, which then talks to the accessibility bus.
bool BridgeRequested(const DesktopToolkit& toolkit) {
  const char* modules = std::getenv("GTK_MODULES");
  const char* off = std::getenv("NO_AT_BRIDGE");
  if (off && std::strcmp(off, "1") == 0) return false;
  if (toolkit.bridgeBuiltIn) return true;
  if (!modules) return false;
  gchar** names = g_strsplit(modules, G_SEARCHPATH_SEPARATOR_S, -1);
  bool found = false;
  for (gchar** name = names; *name; ++name) {
    const char* base = std::strrchr(*name, '/');
    base = base ? base + 1 : *name;
    if (std::strcmp(base, "atk-bridge") == 0 || std::strcmp(base, "libatk-bridge.so") == 0) found = true;
  }
  g_strfreev(names);
  return found;
}

// One connection to a bus, every step bounded by one deadline.
class BusLink {
 public:
  explicit BusLink(gint64 deadline) : deadline_(deadline) {}
  BusLink(const BusLink&) = delete;
  BusLink& operator=(const BusLink&) = delete;
  ~BusLink() {
    if (fd_ >= 0) close(fd_);
    for (const auto& [serial, message] : replies_) g_object_unref(message);
  }

  // Connects to the first unix socket of a bus address ("unix:path=..." or
  // "unix:abstract=..."). False when there is none, or nothing listens there:
  // the toolkit then fails as quickly as this does.
  bool Connect(const char* address) {
    for (const std::string& entry : Split(address, ';')) {
      if (entry.rfind("unix:", 0) != 0) {
        otherTransport_ = true;
        continue;
      }
      sockaddr_un where{};
      where.sun_family = AF_UNIX;
      socklen_t length = 0;
      for (const std::string& pair : Split(entry.substr(5), ',')) {
        const size_t equals = pair.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = pair.substr(0, equals);
        gchar* value = g_uri_unescape_string(pair.substr(equals + 1).c_str(), nullptr);
        if (!value) continue;
        const size_t size = std::strlen(value);
        const bool abstract = key == "abstract";
        if ((key == "path" || abstract) && size + 1 < sizeof where.sun_path) {
          std::memset(where.sun_path, 0, sizeof where.sun_path);
          std::memcpy(where.sun_path + (abstract ? 1 : 0), value, size);
          length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size + (abstract ? 1 : 0));
        }
        g_free(value);
      }
      if (length == 0) {
        otherTransport_ = true;
        continue;
      }
      fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd_ < 0) return false;
      if (connect(fd_, reinterpret_cast<sockaddr*>(&where), length) == 0 || errno == EINPROGRESS ||
          errno == EAGAIN) {
        // A full backlog (EAGAIN) is a bus that accepts nothing: it counts as silent.
        return true;
      }
      close(fd_);
      fd_ = -1;
    }
    return false;
  }

  // After a failed Connect: whether the address names a transport that this
  // does not try (tcp, a launcher): a bus may still be there.
  bool TriedAll() const { return !otherTransport_; }

  // Authenticates as this user and sends Hello. False when the bus does not
  // answer in time, or refuses.
  bool Greet() {
    const std::string uid = std::to_string(getuid());
    std::string hex;
    for (const char c : uid) {
      hex += '3';
      hex += c;
    }
    if (!Send(std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n")) return false;
    std::string line;
    while (line.find("\r\n") == std::string::npos)
      if (!Receive(line)) return false;
    if (line.rfind("OK ", 0) != 0) return false;
    if (!Send("BEGIN\r\n")) return false;
    const guint32 hello = Call(false, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "Hello", nullptr);
    return hello && Await({hello});
  }

  // Sends a method call and returns its serial, 0 when it could not be sent.
  // With noStart, a name that nobody owns is not started: the bus answers
  // with an error at once.
  guint32 Call(bool noStart, const char* destination, const char* path, const char* interface,
               const char* method, GVariant* body) {
    GDBusMessage* message = g_dbus_message_new_method_call(destination, path, interface, method);
    if (noStart) g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_AUTO_START);
    if (body) g_dbus_message_set_body(message, body);
    const guint32 serial = ++serial_;
    g_dbus_message_set_serial(message, serial);
    gsize size = 0;
    guchar* blob = g_dbus_message_to_blob(message, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    g_object_unref(message);
    if (!blob) return 0;
    const bool sent = Send(std::string(reinterpret_cast<char*>(blob), size));
    g_free(blob);
    return sent ? serial : 0;
  }

  // Gives the calls still to come until deadline.
  void SetDeadline(gint64 deadline) { deadline_ = deadline; }

  // Waits until every one of serials has its reply (or error), or the
  // deadline passes. True when all came.
  bool Await(const std::vector<guint32>& serials) {
    for (;;) {
      bool all = true;
      for (const guint32 serial : serials)
        if (!replies_.count(serial)) all = false;
      if (all) return true;
      if (!ReadMessage()) return false;
    }
  }

  // The reply to serial: its type and body; nullptr when none came.
  GDBusMessage* Reply(guint32 serial) const {
    const auto found = replies_.find(serial);
    return found == replies_.end() ? nullptr : found->second;
  }

 private:
  static std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
      const size_t end = text.find(separator, start);
      parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) return parts;
      start = end + 1;
    }
  }

  // Waits for the socket until the deadline. False when time is up.
  bool Wait(short events) {
    const gint64 left = deadline_ - g_get_monotonic_time();
    if (left <= 0) return false;
    pollfd entry{fd_, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>((left + 999) / 1000));
    return ready > 0 && !(entry.revents & POLLNVAL);
  }

  bool Send(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t wrote = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (wrote > 0) {
        done += static_cast<size_t>(wrote);
      } else if (wrote < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (!Wait(POLLOUT)) return false;
      } else {
        return false;
      }
    }
    return true;
  }

  // Appends what the socket holds to into, waiting for it up to the deadline.
  bool Receive(std::string& into) {
    char chunk[4096];
    for (;;) {
      const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
      if (got > 0) {
        into.append(chunk, static_cast<size_t>(got));
        return true;
      }
      if (got == 0 || (errno != EAGAIN && errno != EINTR)) return false;
      if (!Wait(POLLIN)) return false;
    }
  }

  // Reads one whole message into the replies, when it is one.
  bool ReadMessage() {
    while (buffer_.size() < 16)
      if (!Receive(buffer_)) return false;
    const gssize needed = g_dbus_message_bytes_needed(reinterpret_cast<guchar*>(buffer_.data()), 16, nullptr);
    if (needed < 16) return false;
    while (buffer_.size() < static_cast<size_t>(needed))
      if (!Receive(buffer_)) return false;
    GDBusMessage* message =
        g_dbus_message_new_from_blob(reinterpret_cast<guchar*>(buffer_.data()), static_cast<gsize>(needed),
                                     G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    buffer_.erase(0, static_cast<size_t>(needed));
    if (!message) return false;
    const GDBusMessageType type = g_dbus_message_get_message_type(message);
    const guint32 serial = g_dbus_message_get_reply_serial(message);
    if ((type == G_DBUS_MESSAGE_TYPE_METHOD_RETURN || type == G_DBUS_MESSAGE_TYPE_ERROR) && serial &&
        !replies_.count(serial)) {
      replies_[serial] = message;
    } else {
      g_object_unref(message);
    }
    return true;
  }

  gint64 deadline_;
  int fd_ = -1;
  bool otherTransport_ = false;
  guint32 serial_ = 0;
  std::string buffer_;
  std::map<guint32, GDBusMessage*> replies_;
};

}  // namespace

namespace {

// Whether the reply to serial is an answer from the service itself or the
// bus's word that nobody owns the name: either way the toolkit will not wait.
bool Answered(const BusLink& link, guint32 serial) { return link.Reply(serial) != nullptr; }

// Asks the accessibility bus launcher for the accessibility bus and greets
// that bus. Says what is left out, and keeps the bridge away, when one of the
// two is silent.
void CheckAccessibility(BusLink& session, guint32 addressCall) {
  GDBusMessage* reply = session.Reply(addressCall);
  if (!reply) {
    Say(std::string("the accessibility bus launcher ") + AccessibilityLauncher +
        " did not answer: the accessibility bridge is left out");
    Keep("NO_AT_BRIDGE", "1");
    return;
  }
  GVariant* body = g_dbus_message_get_body(reply);
  if (g_dbus_message_get_message_type(reply) != G_DBUS_MESSAGE_TYPE_METHOD_RETURN || !body ||
      !g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")))
    return;  // no launcher running: the bridge starts one, or goes without
  const gchar* address = nullptr;
  g_variant_get(body, "(&s)", &address);
  BusLink accessibility(g_get_monotonic_time() + AccessibilityDeadlineUs);
  if (!accessibility.Connect(address)) return;  // nothing there: the bridge fails at once
  if (accessibility.Greet()) return;
  Say("the accessibility bus did not answer: the accessibility bridge is left out");
  Keep("NO_AT_BRIDGE", "1");
}

// No session bus: the toolkit's file system layer starts none, but the
// accessibility bridge and an input method's module (ibus, fcitx) would each
// start one of their own (dbus-launch) that outlives the program. The bridge
// still finds an accessibility bus that the display names, and the input
// method its own bus; the file system layer stays local, as without a bus.
void KeepOffAMissingBus(const DesktopToolkit& toolkit) {
  Keep("GIO_USE_VFS", "local");
  Keep("GIO_USE_VOLUME_MONITOR", "unix");
  setenv("DBUS_SESSION_BUS_ADDRESS", NoBus, 1);
  if (toolkit.autolaunchesBus) {
    // Nothing to reach on a bus that is not there: the bridge stays out,
    // and the settings that dconf would keep on it are this run's own.
    Keep("NO_AT_BRIDGE", "1");
    setenv("GSETTINGS_BACKEND", "memory", 0);  // unless the caller picked one
  }
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
  Say(std::string("the runtime folder ") + runtime +
      " cannot hold the settings' shared state: the dialog's settings are this run's own");
  Keep("GSETTINGS_BACKEND", "memory");
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

// Keeps every GIO module out but the settings backend: the file system
// daemon's modules (the daemon's client, the remote volume monitors) ask the
// daemon when they load, and the settings backend keeps what the user set
// (the dialog's hidden files, its size). GIO loads the modules of its folder
// once, at its first use: the folder is made of a link to that one module,
// used at once, and removed. Where that cannot be done, no module at all.
void LoadOnlyTheSettingsModule() {
  const char* source = std::getenv("GIO_MODULE_DIR");
  gchar* module = g_build_filename(source && *source ? source : STASHWICK_GIO_MODULE_DIR, SettingsModule, nullptr);
  gchar* folder = g_file_test(module, G_FILE_TEST_EXISTS) ? g_dir_make_tmp("stashwick-gio-XXXXXX", nullptr) : nullptr;
  gchar* link = folder ? g_build_filename(folder, SettingsModule, nullptr) : nullptr;
  if (link && symlink(module, link) == 0) {
    Keep("GIO_MODULE_DIR", folder);
    g_vfs_get_default();  // loads the folder's modules, and only now
    unlink(link);
  } else {
    Keep("GIO_MODULE_DIR", NoModules);
  }
  if (folder) rmdir(folder);
  g_free(link);
  g_free(folder);
  g_free(module);
}

bool IsError(GDBusMessage* reply) { return g_dbus_message_get_message_type(reply) == G_DBUS_MESSAGE_TYPE_ERROR; }

// Pings the daemon of each mount that the file system daemon has running (the
// trash, which the sidebar of GTK 3's dialog lists, shares, devices): each is
// a process of its own, and one that has hung holds the dialog at its first
// call. The toolkit then reaches local files only.
void CheckMounts(BusLink& session, guint32 mountsCall) {
  GDBusMessage* reply = session.Reply(mountsCall);
  GVariant* body = reply && !IsError(reply) ? g_dbus_message_get_body(reply) : nullptr;
  if (!body || !g_variant_is_of_type(body, G_VARIANT_TYPE("(a(sossssssbay(aya{sv})ay))"))) return;
  std::vector<std::pair<std::string, std::string>> mounts;  // owner, name shown
  GVariant* list = g_variant_get_child_value(body, 0);
  for (gsize i = 0; i < g_variant_n_children(list); ++i) {
    const gchar* owner = nullptr;
    const gchar* shown = nullptr;
    const gchar* scheme = nullptr;
    g_variant_get_child(list, i, "(&s&o&s&s&s&s&s&sbay(aya{sv})ay)", &owner, nullptr, &shown, &scheme,
                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    mounts.emplace_back(owner, std::string(shown) + " (" + scheme + ")");
  }
  g_variant_unref(list);
  std::vector<guint32> pings;
  for (const auto& mount : mounts)
    pings.push_back(session.Call(true, mount.first.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping", nullptr));
  session.Await(pings);
  for (size_t i = 0; i < mounts.size(); ++i) {
    if (Answered(session, pings[i])) continue;
    Say("the file system mount " + mounts[i].second +
        " did not answer: the trash, network places and mounted devices are left out");
    Keep("GIO_USE_VFS", "local");
    Keep("GIO_USE_VOLUME_MONITOR", "unix");
    return;
  }
}

// Whether the toolkit would show the save dialog through the portal: where
// GTK_USE_PORTAL is 1, or inside a Flatpak sandbox, which leaves its
// description in the runtime folder. GTK 3 asks the same.
bool PortalWanted(const DesktopToolkit& toolkit) {
  if (!toolkit.portalFileChooser) return false;
  const char* use = std::getenv("GTK_USE_PORTAL");
  if (use && use[0] == '1') return true;
  gchar* description = g_build_filename(g_get_user_runtime_dir(), "flatpak-info", nullptr);
  const bool sandboxed = g_file_test(description, G_FILE_TEST_EXISTS);
  g_free(description);
  return sandboxed;
}

// The program's own dialog shows instead of the portal's. The toolkit keeps
// away from the portal too: on Wayland it would read its settings there.
void LeavePortalOut(const std::string& what) {
  Say(what + ": the program's own save dialog shows instead");
  unsetenv("GTK_USE_PORTAL");
}

// Text of an error reply: its name and message.
std::string ErrorText(GDBusMessage* reply) {
  const gchar* name = g_dbus_message_get_error_name(reply);
  GVariant* body = g_dbus_message_get_body(reply);
  const gchar* message = nullptr;
  if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)"))) g_variant_get(body, "(&s)", &message);
  return std::string(name ? name : "") + (message ? std::string(": ") + message : "");
}


// Asks the portal for its file chooser, and pings each of its backends that
// runs, whose window the dialog would be. The portal is started when it is not
// running, as the toolkit would; a portal that is missing, silent or without
// a file chooser, or a silent backend, leaves the portal out with one line.
// ownerCall and namesCall are the replies to NameHasOwner and ListNames.
void CheckPortal(BusLink& session, guint32 ownerCall, guint32 namesCall) {
  GDBusMessage* owner = session.Reply(ownerCall);
  GDBusMessage* names = session.Reply(namesCall);
  gboolean running = FALSE;
  if (owner && !IsError(owner) && g_dbus_message_get_body(owner))
    g_variant_get(g_dbus_message_get_body(owner), "(b)", &running);
  if (!running) session.SetDeadline(g_get_monotonic_time() + PortalStartDeadlineUs);
  const guint32 versionCall =
      session.Call(running, Portal, "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Properties", "Get",
                   g_variant_new("(ss)", "org.freedesktop.portal.FileChooser", "version"));
  std::vector<guint32> calls{versionCall};
  std::vector<std::string> backends;
  if (running && names && !IsError(names) && g_dbus_message_get_body(names)) {
    GVariantIter* iter = nullptr;
    const gchar* name = nullptr;
    g_variant_get(g_dbus_message_get_body(names), "(as)", &iter);
    while (g_variant_iter_next(iter, "&s", &name))
      if (g_str_has_prefix(name, PortalBackendPrefix)) backends.emplace_back(name);
    g_variant_iter_free(iter);
  }
  for (const std::string& backend : backends)
    calls.push_back(session.Call(true, backend.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping", nullptr));
  session.Await(calls);
  GDBusMessage* version = session.Reply(versionCall);
  if (!version) {
    LeavePortalOut(std::string("the desktop portal ") + Portal + " did not answer");
    return;
  }
  if (IsError(version)) {
    const gchar* name = g_dbus_message_get_error_name(version);
    const std::string error = name ? name : "";
    if (error == "org.freedesktop.DBus.Error.ServiceUnknown" || error == "org.freedesktop.DBus.Error.NameHasNoOwner")
      LeavePortalOut(std::string("the desktop portal ") + Portal + " is not on the session bus");
    else if (g_str_has_prefix(error.c_str(), "org.freedesktop.DBus.Error.Spawn."))
      LeavePortalOut(std::string("the desktop portal ") + Portal + " could not be started (" + ErrorText(version) + ")");
    else
      LeavePortalOut("the desktop portal has no file chooser (" + ErrorText(version) + ")");
    return;
  }
  for (size_t i = 0; i < backends.size(); ++i) {
    if (session.Reply(calls[i + 1])) continue;
    LeavePortalOut("the desktop portal's backend " + backends[i] + " did not answer");
    return;
  }
  PortalChosen = true;
}

// Whether the toolkit may take keys through ibus: GTK_IM_MODULE names it, or
// names nothing, and the toolkit picks (ibus is the pick of every locale
// where it is installed, and of desktops that name it in their settings).
bool IbusWanted() {
  const char* modules = std::getenv("GTK_IM_MODULE");
  if (!modules || !*modules) return true;
  gchar** names = g_strsplit(modules, ":", -1);
  const bool named = g_strv_contains(names, "ibus");
  g_strfreev(names);
  return named;
}

// The address of the running ibus daemon's bus, as ibus's own library finds
// it: IBUS_ADDRESS, or the file that the daemon keeps in the user's config
// folder for the display, whose daemon must still be there. "" for none.
std::string IbusAddress() {
  if (const char* address = std::getenv("IBUS_ADDRESS")) return address;
  std::string file;
  if (const char* named = std::getenv("IBUS_ADDRESS_FILE")) {
    file = named;
  } else {
    // <machine id>-<host>-<display number>; on Wayland the display's name.
    gchar* id = nullptr;
    if (!g_file_get_contents("/var/lib/dbus/machine-id", &id, nullptr, nullptr))
      g_file_get_contents("/etc/machine-id", &id, nullptr, nullptr);
    std::string display;
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY")) {
      display = std::string("unix-") + wayland;
    } else {
      const std::string x = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
      const size_t colon = x.find(':');
      const std::string host = x.substr(0, colon);
      const std::string number =
          colon == std::string::npos ? std::string("0") : x.substr(colon + 1, x.find('.', colon) - colon - 1);
      display = (host.empty() ? std::string("unix") : host) + "-" + number;
    }
    gchar* name = g_strdup_printf("%s-%s", id ? g_strstrip(id) : "machine-id", display.c_str());
    gchar* path = g_build_filename(g_get_user_config_dir(), "ibus", "bus", name, nullptr);
    file = path;
    g_free(path);
    g_free(name);
    g_free(id);
  }
  gchar* contents = nullptr;
  if (!g_file_get_contents(file.c_str(), &contents, nullptr, nullptr)) return "";
  std::string address;
  long pid = -1;
  gchar** lines = g_strsplit(contents, "\n", -1);
  for (gchar** line = lines; *line; ++line) {
    if (g_str_has_prefix(*line, "IBUS_ADDRESS=")) address = *line + std::strlen("IBUS_ADDRESS=");
    if (g_str_has_prefix(*line, "IBUS_DAEMON_PID="))
      pid = std::strtol(*line + std::strlen("IBUS_DAEMON_PID="), nullptr, 10);
  }
  g_strfreev(lines);
  g_free(contents);
  // A daemon that has ended leaves its file: the toolkit's module then does
  // not connect.
  if (pid <= 0 || kill(static_cast<pid_t>(pid), 0) != 0) return "";
  return address;
}

// The input method ibus keeps a bus of its own. Where its daemon has hung,
// the toolkit's ibus module hands it every key and gets no answer: the dialog
// takes no key. It then takes keys through the toolkit's built-in input
// method, which needs no service.
void CheckInputMethod() {
  if (!IbusWanted()) return;
  const std::string address = IbusAddress();
  if (address.empty()) return;
  BusLink ibus(g_get_monotonic_time() + InputMethodDeadlineUs);
  if (!ibus.Connect(address.c_str()) || ibus.Greet()) return;
  Say("the input method ibus did not answer: keys go through the toolkit's built-in input method");
  Keep("GTK_IM_MODULE", "gtk-im-context-simple");
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
    // Nothing listens: the toolkit fails at once too. GTK 3's settings would
    // then warn at every change they fail to keep there (a stale address
    // from an ended session): such a bus counts as missing.
    if (toolkit.autolaunchesBus && session.TriedAll()) KeepOffAMissingBus(toolkit);
    if (portal) LeavePortalOut(noBusForPortal);
    return;
  }
  if (!session.Greet()) {
    Say("the session bus did not answer: network places, the volume list and the accessibility "
        "bridge are left out");
    Keep("GIO_USE_VFS", "local");
    Keep("GIO_USE_VOLUME_MONITOR", "unix");
    Keep("NO_AT_BRIDGE", "1");
    setenv("DBUS_SESSION_BUS_ADDRESS", NoBus, 1);
    // dconf writes through the bus: its settings are this run's own too.
    if (toolkit.readsDconf) setenv("GSETTINGS_BACKEND", "memory", 0);
    if (portal) LeavePortalOut("the desktop portal is on the session bus, which did not answer");
    return;
  }
  KeepDconfOffAnUnusableRuntimeFolder(toolkit);
  // One ping to each service that runs, all sent at once; a name that nobody
  // owns gets the bus's error at once and is not started.
  const char* const peer = "org.freedesktop.DBus.Peer";
  const guint32 daemonCall = session.Call(true, VfsDaemon, "/", peer, "Ping", nullptr);
  const guint32 mountsCall =
      session.Call(true, VfsDaemon, "/org/gtk/vfs/mounttracker", "org.gtk.vfs.MountTracker", "ListMounts", nullptr);
  std::vector<guint32> calls{daemonCall, mountsCall};
  std::vector<guint32> monitorCalls;
  for (const char* monitor : VolumeMonitors) {
    monitorCalls.push_back(session.Call(true, monitor, "/", peer, "Ping", nullptr));
    calls.push_back(monitorCalls.back());
  }
  const guint32 addressCall =
      bridge ? session.Call(true, AccessibilityLauncher, "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr)
             : 0;
  if (addressCall) calls.push_back(addressCall);
  guint32 ownerCall = 0;
  guint32 namesCall = 0;
  if (portal) {
    const char* const bus = "org.freedesktop.DBus";
    ownerCall = session.Call(false, bus, "/org/freedesktop/DBus", bus, "NameHasOwner", g_variant_new("(s)", Portal));
    namesCall = session.Call(false, bus, "/org/freedesktop/DBus", bus, "ListNames", nullptr);
    calls.push_back(ownerCall);
    calls.push_back(namesCall);
  }
  session.Await(calls);
  if (!Answered(session, daemonCall)) {
    Say(std::string("the file system daemon ") + VfsDaemon +
        " did not answer: network places and the volume list are left out");
    // The volume monitors' module asks the daemon when it loads, whichever
    // monitor is picked: no file system modules at all, the built-in local
    // ones only.
    Keep("GIO_USE_VFS", "local");
    LoadOnlyTheSettingsModule();
  } else {
    CheckMounts(session, mountsCall);
  }
  for (size_t i = 0; i < monitorCalls.size(); ++i) {
    if (Answered(session, monitorCalls[i])) continue;
    Say(std::string("the volume monitor ") + VolumeMonitors[i] + " did not answer: the volume list is left out");
    Keep("GIO_USE_VOLUME_MONITOR", "unix");
  }
  if (bridge) CheckAccessibility(session, addressCall);
  if (portal) CheckPortal(session, ownerCall, namesCall);
}
