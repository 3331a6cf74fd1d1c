// The input method ibus, which keeps a bus of its own. Where its daemon has
// hung, the toolkit's ibus module hands it every key and gets no answer: the
// dialog takes no key. It then takes keys through the toolkit's built-in
// input method, which needs no service.
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "desktop/service_checks.h"

namespace {

constexpr gint64 InputMethodDeadlineUs = 200 * 1000;

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

}  // namespace

void CheckInputMethod() {
  if (!IbusWanted()) return;
  const std::string address = IbusAddress();
  if (address.empty()) return;
  BusLink ibus(g_get_monotonic_time() + InputMethodDeadlineUs);
  if (!ibus.Connect(address.c_str()) || ibus.Greet()) return;
  SayServiceLine("the input method ibus did not answer: keys go through the toolkit's built-in input method");
  KeepEnvironment("GTK_IM_MODULE", "gtk-im-context-simple");
}
