// The accessibility bridge: the accessibility bus launcher on the session
// bus, and the accessibility bus whose address it gives.
#include <cstdlib>
#include <cstring>

#include "desktop/service_checks.h"

namespace {

const char* const AccessibilityLauncher = "org.a11y.Bus";
// The accessibility bus, whose address the session bus gave, has this long
// after the session bus's checks.
constexpr gint64 AccessibilityDeadlineUs = 200 * 1000;

}  // namespace

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

guint32 AskAccessibility(BusLink& session) {
  return session.Call(true, AccessibilityLauncher, "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr);
}

// Says what is left out, and keeps the bridge away, when the launcher or the
// bus it names is silent.
void CheckAccessibility(BusLink& session, guint32 addressCall) {
  GDBusMessage* reply = session.Reply(addressCall);
  if (!reply) {
    SayServiceLine(std::string("the accessibility bus launcher ") + AccessibilityLauncher +
                   " did not answer: the accessibility bridge is left out");
    KeepEnvironment("NO_AT_BRIDGE", "1");
    return;
  }
  GVariant* body = g_dbus_message_get_body(reply);
  if (g_dbus_message_get_message_type(reply) != G_DBUS_MESSAGE_TYPE_METHOD_RETURN || !body ||
      !g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")))
    return;  // no launcher running: the bridge starts one, or goes without
  const gchar* address = nullptr;
  g_variant_get(body, "(&s)", &address);
  BusLink accessibility(g_get_monotonic_time() + AccessibilityDeadlineUs);
  if (!accessibility.Connect(address)) {
    if (accessibility.TriedAll()) return;  // nothing there: the bridge fails at once
  } else if (accessibility.Greet()) {
    return;
  }
  SayServiceLine("the accessibility bus did not answer: the accessibility bridge is left out");
  KeepEnvironment("NO_AT_BRIDGE", "1");
}
