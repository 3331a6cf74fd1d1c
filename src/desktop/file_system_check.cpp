// gvfs: the file system daemon, the daemons of the mounts it runs, and the
// volume monitors, which the toolkit's file system layer asks over the
// session bus when they run.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "desktop/service_checks.h"

namespace {

const char* const VfsDaemon = "org.gtk.vfs.Daemon";
const char* const VolumeMonitors[] = {
    "org.gtk.vfs.UDisks2VolumeMonitor", "org.gtk.vfs.GPhoto2VolumeMonitor",
    "org.gtk.vfs.MTPVolumeMonitor",     "org.gtk.vfs.AfcVolumeMonitor",
    "org.gtk.vfs.GoaVolumeMonitor",
};
const char* const Peer = "org.freedesktop.DBus.Peer";

// What the toolkit gets as its folder of GIO modules where none can be made:
// no folder.
const char* const NoModules = "/dev/null";
// The one GIO module kept where the file system daemon is silent: the
// settings backend (dconf), which keeps the user's settings and talks to no
// file system service.
const char* const SettingsModule = "libdconfsettings.so";

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
  // Folders named there would bring the daemon's modules back.
  unsetenv("GIO_EXTRA_MODULES");
  if (link && symlink(module, link) == 0) {
    KeepEnvironment("GIO_MODULE_DIR", folder);
    g_vfs_get_default();  // loads the folder's modules, and only now
    unlink(link);
  } else {
    KeepEnvironment("GIO_MODULE_DIR", NoModules);
  }
  if (folder) rmdir(folder);
  g_free(link);
  g_free(folder);
  g_free(module);
}

// Pings the daemon of each mount that the file system daemon has running (the
// trash, which the sidebar of GTK 3's dialog lists, shares, devices): each is
// a process of its own, and one that has hung holds the dialog at its first
// call. The toolkit then reaches local files only.
void CheckMounts(BusLink& session, guint32 mountsCall) {
  GDBusMessage* reply = session.Reply(mountsCall);
  GVariant* body = reply && !IsErrorReply(reply) ? g_dbus_message_get_body(reply) : nullptr;
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
  for (const auto& mount : mounts) pings.push_back(session.Call(true, mount.first.c_str(), "/", Peer, "Ping", nullptr));
  session.Await(pings);
  for (size_t i = 0; i < mounts.size(); ++i) {
    if (ServiceAnswered(session, pings[i])) continue;
    SayServiceLine("the file system mount " + mounts[i].second +
                   " did not answer: the trash, network places and mounted devices are left out");
    KeepEnvironment("GIO_USE_VFS", "local");
    KeepEnvironment("GIO_USE_VOLUME_MONITOR", "unix");
    return;
  }
}

}  // namespace

FileSystemCalls AskFileSystem(BusLink& session, std::vector<guint32>& calls) {
  FileSystemCalls asked;
  asked.daemon = session.Call(true, VfsDaemon, "/", Peer, "Ping", nullptr);
  asked.mounts =
      session.Call(true, VfsDaemon, "/org/gtk/vfs/mounttracker", "org.gtk.vfs.MountTracker", "ListMounts", nullptr);
  calls.push_back(asked.daemon);
  calls.push_back(asked.mounts);
  for (const char* monitor : VolumeMonitors) {
    asked.monitors.push_back(session.Call(true, monitor, "/", Peer, "Ping", nullptr));
    calls.push_back(asked.monitors.back());
  }
  return asked;
}

void CheckFileSystem(BusLink& session, const FileSystemCalls& asked) {
  if (!ServiceAnswered(session, asked.daemon)) {
    SayServiceLine(std::string("the file system daemon ") + VfsDaemon +
                   " did not answer: network places and the volume list are left out");
    // The volume monitors' module asks the daemon when it loads, whichever
    // monitor is picked: no file system modules at all, the built-in local
    // ones only.
    KeepEnvironment("GIO_USE_VFS", "local");
    LoadOnlyTheSettingsModule();
  } else {
    CheckMounts(session, asked.mounts);
  }
  for (size_t i = 0; i < asked.monitors.size(); ++i) {
    if (ServiceAnswered(session, asked.monitors[i])) continue;
    SayServiceLine(std::string("the volume monitor ") + VolumeMonitors[i] +
                   " did not answer: the volume list is left out");
    KeepEnvironment("GIO_USE_VOLUME_MONITOR", "unix");
  }
}
