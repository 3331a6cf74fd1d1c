// The desktop portal, where the save dialog would go through it, and the
// backends that show its dialogs.
#include <cstdlib>
#include <string>

#include "desktop/message_text.h"
#include "desktop/service_checks.h"

namespace {

const char* const Portal = "org.freedesktop.portal.Desktop";
const char* const PortalBackendPrefix = "org.freedesktop.impl.portal.desktop.";
// A portal that this run starts has this long: it starts its backends first
// (0.8 s measured cold).
constexpr gint64 PortalStartDeadlineUs = 3 * 1000 * 1000;

// The most of an error's text that a line echoes.
constexpr size_t EchoedBytes = 300;

// Text of an error reply for a line: its name and message, cut, its control
// characters escaped.
std::string ErrorText(GDBusMessage* reply) {
  const gchar* name = g_dbus_message_get_error_name(reply);
  GVariant* body = g_dbus_message_get_body(reply);
  const gchar* message = nullptr;
  if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)"))) g_variant_get(body, "(&s)", &message);
  const std::string text = std::string(name ? name : "") + (message ? std::string(": ") + message : "");
  return MessageText(ShortText(text, EchoedBytes), true);
}

}  // namespace

// Where GTK_USE_PORTAL is 1, or inside a Flatpak sandbox, which leaves its
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

// The toolkit keeps away from the portal too: on Wayland it would read its
// settings there.
void LeavePortalOut(const std::string& what) {
  SayServiceLine(what + ": the program's own save dialog shows instead");
  unsetenv("GTK_USE_PORTAL");
}

PortalCalls AskPortal(BusLink& session, std::vector<guint32>& calls) {
  const char* const bus = "org.freedesktop.DBus";
  PortalCalls asked;
  asked.owner = session.Call(false, bus, "/org/freedesktop/DBus", bus, "NameHasOwner", g_variant_new("(s)", Portal));
  asked.names = session.Call(false, bus, "/org/freedesktop/DBus", bus, "ListNames", nullptr);
  calls.push_back(asked.owner);
  calls.push_back(asked.names);
  return asked;
}

// Asks the portal for its file chooser, and pings each of its backends that
// runs, whose window the dialog would be. The portal is started when it is not
// running, as the toolkit would; a portal that is missing, silent or without
// a file chooser, or a silent backend, leaves the portal out with one line.
bool CheckPortal(BusLink& session, const PortalCalls& asked) {
  GDBusMessage* owner = session.Reply(asked.owner);
  GDBusMessage* names = session.Reply(asked.names);
  gboolean running = FALSE;
  if (owner && !IsErrorReply(owner) && g_dbus_message_get_body(owner))
    g_variant_get(g_dbus_message_get_body(owner), "(b)", &running);
  if (!running) session.SetDeadline(g_get_monotonic_time() + PortalStartDeadlineUs);
  const guint32 versionCall =
      session.Call(running, Portal, "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Properties", "Get",
                   g_variant_new("(ss)", "org.freedesktop.portal.FileChooser", "version"));
  std::vector<guint32> calls{versionCall};
  std::vector<std::string> backends;
  if (running && names && !IsErrorReply(names) && g_dbus_message_get_body(names)) {
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
    return false;
  }
  if (IsErrorReply(version)) {
    const gchar* name = g_dbus_message_get_error_name(version);
    const std::string error = name ? name : "";
    if (error == "org.freedesktop.DBus.Error.ServiceUnknown" || error == "org.freedesktop.DBus.Error.NameHasNoOwner")
      LeavePortalOut(std::string("the desktop portal ") + Portal + " is not on the session bus");
    else if (g_str_has_prefix(error.c_str(), "org.freedesktop.DBus.Error.Spawn."))
      LeavePortalOut(std::string("the desktop portal ") + Portal + " could not be started (" + ErrorText(version) + ")");
    else
      LeavePortalOut("the desktop portal has no file chooser (" + ErrorText(version) + ")");
    return false;
  }
  for (size_t i = 0; i < backends.size(); ++i) {
    if (session.Reply(calls[i + 1])) continue;
    LeavePortalOut("the desktop portal's backend " + backends[i] + " did not answer");
    return false;
  }
  return true;
}
