// What differs between the two toolkits the dialog builds with, GTK+ 2 (the
// reference) and GTK 3: the one place that asks which one this is.
#pragma once

#include <gtk/gtk.h>
#if GTK_CHECK_VERSION(3, 0, 0) && defined(GDK_WINDOWING_WAYLAND)
#include <gdk/gdkwayland.h>
#endif
#ifdef GDK_WINDOWING_X11
#include <X11/Xatom.h>
#include <gdk/gdkx.h>
#include <unistd.h>
#endif
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "chooser/toolkit_owners.h"
#include "desktop/desktop_services.h"

// The command-line options that this toolkit takes from the leading run:
// those that take a value (in the next argument, or after "=") and those that
// stand alone, with any value ("--sync=0" too). The debug options of a debug
// build of the toolkit are none of them: a release build leaves them as they
// are, and the entry after one would be read as its value. GTK 3 no longer
// knows --screen and --sync: they are ordinary arguments there.
#if GTK_CHECK_VERSION(3, 0, 0)
inline const char* const ToolkitValueOptions[] = {"--display", "--name", "--class", "--gtk-module"};
inline const char* const ToolkitFlagOptions[] = {"--g-fatal-warnings"};
#else
inline const char* const ToolkitValueOptions[] = {"--display", "--screen", "--name", "--class",
                                                  "--gtk-module"};
inline const char* const ToolkitFlagOptions[] = {"--sync", "--g-fatal-warnings"};
#endif

// The text of the save dialog's name field (UTF-8), what the user reads
// there; "" when there is none. GTK 3 tells it; GTK+ 2 keeps it in the
// field, its own GtkFileChooserEntry (a GtkEntry), found among the dialog's
// widgets.
#if GTK_CHECK_VERSION(3, 0, 0)
inline std::string ToolkitNameFieldText(GtkFileChooser* chooser) {
  const GText name(gtk_file_chooser_get_current_name(chooser));
  return name ? name.get() : "";
}
#else
inline void ToolkitFindNameEntry(GtkWidget* widget, gpointer result) {
  auto** entry = static_cast<GtkWidget**>(result);
  if (*entry) return;
  if (std::strcmp(G_OBJECT_TYPE_NAME(widget), "GtkFileChooserEntry") == 0) {
    *entry = widget;
  } else if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(GTK_CONTAINER(widget), ToolkitFindNameEntry, result);
  }
}
inline std::string ToolkitNameFieldText(GtkFileChooser* chooser) {
  GtkWidget* entry = nullptr;
  ToolkitFindNameEntry(GTK_WIDGET(chooser), &entry);
  const gchar* text = entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : nullptr;
  return text ? text : "";
}
#endif

// Keeps the toolkit's warnings in *into instead of printing them, from a call
// with into until a call with nullptr: a refusal of its options is one.
// GTK+ 2 logs through the domain's handler; GTK 3 logs structured entries,
// which only the process's one log writer sees: that writer is set on the
// first call and passes everything else on as the default writer does.
#if GTK_CHECK_VERSION(3, 0, 0)
inline std::vector<std::string>* ToolkitWarningsKept = nullptr;
inline GLogWriterOutput ToolkitLogWriter(GLogLevelFlags level, const GLogField* fields, gsize count,
                                         gpointer data) {
  if (ToolkitWarningsKept && (level & G_LOG_LEVEL_WARNING)) {
    const char* domain = nullptr;
    const char* message = nullptr;
    for (gsize i = 0; i < count; ++i) {
      if (fields[i].length >= 0) continue;  // text fields only
      if (std::strcmp(fields[i].key, "GLIB_DOMAIN") == 0) domain = static_cast<const char*>(fields[i].value);
      if (std::strcmp(fields[i].key, "MESSAGE") == 0) message = static_cast<const char*>(fields[i].value);
    }
    if (domain && std::strcmp(domain, "Gtk") == 0) {
      ToolkitWarningsKept->emplace_back(message ? message : "");
      return G_LOG_WRITER_HANDLED;
    }
  }
  return g_log_writer_default(level, fields, count, data);
}
inline void ToolkitKeepWarnings(std::vector<std::string>* into) {
  static const bool writerSet = (g_log_set_writer_func(ToolkitLogWriter, nullptr, nullptr), true);
  (void)writerSet;
  ToolkitWarningsKept = into;
}
#else
inline void ToolkitKeepWarning(const gchar*, GLogLevelFlags, const gchar* message, gpointer warnings) {
  static_cast<std::vector<std::string>*>(warnings)->emplace_back(message ? message : "");
}
inline void ToolkitKeepWarnings(std::vector<std::string>* into) {
  static guint handler = 0;
  if (handler) g_log_remove_handler("Gtk", handler);
  handler = into ? g_log_set_handler("Gtk", G_LOG_LEVEL_WARNING, ToolkitKeepWarning, into) : 0;
}
#endif

// What the toolkit reaches of the desktop on its own. GTK 3 starts the
// accessibility bridge by itself (GTK+ 2 only when GTK_MODULES names it), and
// reads its settings through dconf; outside a desktop session, on X11, either
// autolaunches a session bus that outlives the program. GTK 3 can show the
// save dialog through the desktop portal; GTK+ 2 knows no portal.
#if GTK_CHECK_VERSION(3, 0, 0)
inline constexpr DesktopToolkit ToolkitDesktop{
    .bridgeBuiltIn = true, .autolaunchesBus = true, .readsDconf = true, .portalFileChooser = true};
#else
inline constexpr DesktopToolkit ToolkitDesktop{};
#endif

// The window title as the display can carry it. An X property holds any
// length. A Wayland request is at most 4096 bytes, and the title is one string
// in one, after its 12 bytes of header and length and before its end byte:
// 4083 bytes. GTK 3.24.52 cuts a longer title at that byte, inside a
// character, calls it invalid text, and loses the compositor (the dialog
// gone, status 1). The title is cut here first, after its last whole
// character within that size.
#if GTK_CHECK_VERSION(3, 0, 0) && defined(GDK_WINDOWING_WAYLAND)
inline std::string ToolkitWindowTitle(const char* utf8) {
  constexpr size_t kWaylandTitleBytes = 4096 - 12 - 1;
  std::string title(utf8 ? utf8 : "");
  if (title.size() <= kWaylandTitleBytes || !GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default()))
    return title;
  size_t end = kWaylandTitleBytes;
  while (end > 0 && (static_cast<unsigned char>(title[end]) & 0xC0) == 0x80) --end;
  title.resize(end);
  return title;
}
#else
inline std::string ToolkitWindowTitle(const char* utf8) { return utf8 ? utf8 : ""; }
#endif

// Whose windows were mapped while a watch lives, for telling whether the
// portal's dialog showed: on X11, each window mapped on the root window, and
// the windows inside it to the depth where a window manager's frame holds the
// client's, by the process each names (_NET_WM_PID). Shown(pid): 1 yes, 0 no,
// -1 where the display cannot tell (Wayland, XWayland); pid 0 asks for any process but
// this one. GTK+ 2 knows no portal.
#if GTK_CHECK_VERSION(3, 0, 0) && defined(GDK_WINDOWING_X11)
class ToolkitWindowWatch {
 public:
  ToolkitWindowWatch() {
    display_ = gdk_display_get_default();
    if (!display_ || !GDK_IS_X11_DISPLAY(display_)) return;
    // An X server beside a Wayland compositor (XWayland): the portal's dialog
    // may be a Wayland window, which this display never sees.
    if (const char* wayland = g_getenv("WAYLAND_DISPLAY"); wayland && *wayland) return;
    root_ = gdk_get_default_root_window();
    events_ = gdk_window_get_events(root_);
    gdk_window_set_events(root_, static_cast<GdkEventMask>(events_ | GDK_SUBSTRUCTURE_MASK));
    gdk_window_add_filter(root_, OnEvent, this);
  }
  ToolkitWindowWatch(const ToolkitWindowWatch&) = delete;
  ToolkitWindowWatch& operator=(const ToolkitWindowWatch&) = delete;
  ~ToolkitWindowWatch() {
    if (!root_) return;
    gdk_window_remove_filter(root_, OnEvent, this);
    gdk_window_set_events(root_, events_);
  }
  int Shown(uint32_t pid) const {
    if (!root_) return -1;
    const auto other = [](uint32_t one) { return one != static_cast<uint32_t>(getpid()); };
    if (pid == 0) return std::any_of(pids_.begin(), pids_.end(), other) ? 1 : 0;
    return std::find(pids_.begin(), pids_.end(), pid) != pids_.end() ? 1 : 0;
  }

 private:
  static GdkFilterReturn OnEvent(GdkXEvent* xevent, GdkEvent*, gpointer data) {
    const auto* event = static_cast<const XEvent*>(xevent);
    auto* watch = static_cast<ToolkitWindowWatch*>(data);
    if (event->type == MapNotify) {
      // The window may be gone by the time it is read.
      gdk_x11_display_error_trap_push(watch->display_);
      watch->Note(event->xmap.display, event->xmap.window, 2);
      gdk_x11_display_error_trap_pop_ignored(watch->display_);
    }
    return GDK_FILTER_CONTINUE;
  }
  void Note(Display* display, Window window, int depth) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* value = nullptr;
    const Atom pid = gdk_x11_get_xatom_by_name_for_display(display_, "_NET_WM_PID");
    if (XGetWindowProperty(display, window, pid, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &value) == Success &&
        value && format == 32 && count == 1)
      pids_.push_back(static_cast<uint32_t>(*reinterpret_cast<unsigned long*>(value)));
    if (value) XFree(value);
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int childCount = 0;
    if (depth > 0 && XQueryTree(display, window, &root, &parent, &children, &childCount))
      for (unsigned int i = 0; i < childCount; ++i) Note(display, children[i], depth - 1);
    if (children) XFree(children);
  }

  GdkDisplay* display_ = nullptr;
  GdkWindow* root_ = nullptr;
  GdkEventMask events_{};
  std::vector<uint32_t> pids_;
};
#else
class ToolkitWindowWatch {
 public:
  int Shown(uint32_t) const { return -1; }
};
#endif

// The window the user works in now, as the window manager names it
// (_NET_ACTIVE_WINDOW on the root window): its X id, its process
// (_NET_WM_PID) and the X server time of the user's last key or click in it
// (_NET_WM_USER_TIME, kept on the window its _NET_WM_USER_TIME_WINDOW names
// where it names one; the toolkit keeps it on the window itself where the
// window manager does not support that, kwin among them, and still names
// one). A field the window lacks is 0; all are 0 where no
// window manager names one, and on Wayland, where the compositor keeps them.
struct ActiveWindow {
  unsigned long id = 0;
  pid_t pid = 0;
  uint32_t userTime = 0;
};

#ifdef GDK_WINDOWING_X11
#if GTK_CHECK_VERSION(3, 0, 0)
inline bool ToolkitOnX11(GdkDisplay* display) { return GDK_IS_X11_DISPLAY(display); }
inline void ToolkitTrapXErrors(GdkDisplay* display) { gdk_x11_display_error_trap_push(display); }
inline void ToolkitUntrapXErrors(GdkDisplay* display) { gdk_x11_display_error_trap_pop_ignored(display); }
#else
inline bool ToolkitOnX11(GdkDisplay*) { return true; }
inline void ToolkitTrapXErrors(GdkDisplay*) { gdk_error_trap_push(); }
inline void ToolkitUntrapXErrors(GdkDisplay*) { gdk_error_trap_pop(); }
#endif

// The startup notification id the toolkit took from DESKTOP_STARTUP_ID when
// it opened the display (and removed from the environment); null for none
// and on Wayland.
inline const char* ToolkitStartupId() {
  GdkDisplay* display = gdk_display_get_default();
  return display && ToolkitOnX11(display) ? gdk_x11_display_get_startup_notification_id(display) : nullptr;
}

// The first 32-bit item of the window's property, 0 where it has none. A
// window that has gone meanwhile is an X error, kept from the toolkit's
// handler, which would end the program.
inline unsigned long ToolkitWindowProperty(GdkDisplay* display, unsigned long window, const char* name,
                                           Atom type) {
  if (!window) return 0;
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  ToolkitTrapXErrors(display);
  const int status = XGetWindowProperty(GDK_DISPLAY_XDISPLAY(display), window,
                                        gdk_x11_get_xatom_by_name_for_display(display, name), 0, 1, False, type,
                                        &actualType, &format, &count, &after, &data);
  ToolkitUntrapXErrors(display);
  unsigned long value = 0;
  if (status == Success && data && actualType == type && format == 32 && count == 1)
    value = *reinterpret_cast<unsigned long*>(data);
  if (data) XFree(data);
  return value;
}

inline ActiveWindow ToolkitActiveWindow() {
  ActiveWindow active;
  GdkDisplay* display = gdk_display_get_default();
  if (!display || !ToolkitOnX11(display)) return active;
  const unsigned long root = GDK_WINDOW_XID(gdk_screen_get_root_window(gdk_display_get_default_screen(display)));
  active.id = ToolkitWindowProperty(display, root, "_NET_ACTIVE_WINDOW", XA_WINDOW);
  active.pid = static_cast<pid_t>(ToolkitWindowProperty(display, active.id, "_NET_WM_PID", XA_CARDINAL));
  const unsigned long timeWindow = ToolkitWindowProperty(display, active.id, "_NET_WM_USER_TIME_WINDOW", XA_WINDOW);
  active.userTime = static_cast<uint32_t>(ToolkitWindowProperty(display, timeWindow, "_NET_WM_USER_TIME", XA_CARDINAL));
  if (!active.userTime)
    active.userTime =
        static_cast<uint32_t>(ToolkitWindowProperty(display, active.id, "_NET_WM_USER_TIME", XA_CARDINAL));
  return active;
}

// Gives the realized toplevel the X server's time now as the time of the
// user's last interaction with it, which the window manager reads when it
// maps the window. The toolkit writes its own user time as the window maps,
// the later of the startup id's and the last one set, so this one stays.
inline void ToolkitStampUserTimeNow(GtkWidget* toplevel) {
  GdkWindow* window = gtk_widget_get_window(toplevel);
  if (window && ToolkitOnX11(gdk_window_get_display(window)))
    gdk_x11_window_set_user_time(window, gdk_x11_get_server_time(window));
}
#else
inline const char* ToolkitStartupId() { return nullptr; }
inline ActiveWindow ToolkitActiveWindow() { return {}; }
inline void ToolkitStampUserTimeNow(GtkWidget*) {}
#endif
