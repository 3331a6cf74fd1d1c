#include "desktop/portal.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "desktop/message_text.h"

namespace {

const char* const PortalName = "org.freedesktop.portal.Desktop";
const char* const PortalPath = "/org/freedesktop/portal/desktop";

const char* const BackendNamespace = "org.freedesktop.impl.portal";
const char* const BackendPrefix = "org.freedesktop.impl.portal.desktop.";
const char* const Bus = "org.freedesktop.DBus";
const char* const RequestInterface = "org.freedesktop.portal.Request";

// How long the portal has to take the request (it answers with the request's
// handle at once, before its dialog shows); the user's answer has no deadline.
constexpr gint TakeRequestTimeoutMs = 3000;

// The portal answers "other" both for a backend that failed and for a dialog
// window closed without Cancel (Escape, the window manager's close). A failure
// comes at once (a few milliseconds), or with the backend leaving the bus; a
// person closes a window only once it is on screen: a warm backend's dialog
// maps 40 ms or more after the request, and a person takes well over 100 ms
// to react to it.
constexpr gint64 ClosedByPersonAfterUs = 100 * 1000;

// While the dialog is open, the portal and its backends are asked this often
// whether they still answer, each with this long to do so: a stopped one would
// hold the program for good.
constexpr guint PingIntervalMs = 1000;
constexpr gint PingTimeoutMs = 1000;

// The most of a text of the portal's (an error, a location) that a line echoes.
constexpr size_t EchoedBytes = 300;

// Owners of what GLib allocates here.
struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using OwnedVariant = std::unique_ptr<GVariant, VariantUnref>;
struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using OwnedError = std::unique_ptr<GError, ErrorFree>;
struct ObjectUnref {
  void operator()(gpointer o) const { g_object_unref(o); }
};
struct TextFree {
  void operator()(gchar* t) const { g_free(t); }
};
using OwnedText = std::unique_ptr<gchar, TextFree>;

// Text for a GVariant string, which must be UTF-8: the request's texts are the
// toolkit's, valid already; anything else is mended as the toolkit would show it.
std::string Valid(const std::string& text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return text;
  OwnedText valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  return valid.get();
}

GVariant* FilterVariant(const PortalFilter& filter) {
  GVariantBuilder patterns;
  g_variant_builder_init(&patterns, G_VARIANT_TYPE("a(us)"));
  for (const std::string& pattern : filter.patterns)
    g_variant_builder_add(&patterns, "(us)", 0u, Valid(pattern).c_str());
  return g_variant_new("(s@a(us))", Valid(filter.name).c_str(), g_variant_builder_end(&patterns));
}

GVariant* Options(const PortalSaveRequest& request, const std::string& token) {
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_variant_builder_add(&options, "{sv}", "modal", g_variant_new_boolean(TRUE));
  g_variant_builder_add(&options, "{sv}", "current_folder", g_variant_new_bytestring(request.folder.c_str()));
  if (!request.name.empty())
    g_variant_builder_add(&options, "{sv}", "current_name", g_variant_new_string(Valid(request.name).c_str()));
  if (!request.filters.empty()) {
    GVariantBuilder filters;
    g_variant_builder_init(&filters, G_VARIANT_TYPE("a(sa(us))"));
    for (const PortalFilter& filter : request.filters) g_variant_builder_add_value(&filters, FilterVariant(filter));
    g_variant_builder_add(&options, "{sv}", "filters", g_variant_builder_end(&filters));
    if (request.preselect >= 0 && static_cast<size_t>(request.preselect) < request.filters.size())
      g_variant_builder_add(&options, "{sv}", "current_filter",
                            FilterVariant(request.filters[static_cast<size_t>(request.preselect)]));
  }
  return g_variant_builder_end(&options);
}

// The index of the filter the portal reports as active: the first of the
// request's with that name and those patterns; -1 when none is.
int32_t FilterIndex(const PortalSaveRequest& request, GVariant* reported) {
  const OwnedVariant expected(reported);
  for (size_t i = 0; i < request.filters.size(); ++i) {
    const OwnedVariant candidate(g_variant_ref_sink(FilterVariant(request.filters[i])));
    if (g_variant_equal(candidate.get(), expected.get())) return static_cast<int32_t>(i);
  }
  return -1;
}

// One request in flight: what its Response or the portal's leaving ends.
struct PendingRequest {
  const PortalSaveRequest* request;
  GMainLoop* loop;
  GDBusConnection* connection;
  GCancellable* cancellable;
  std::string path{};         // the request's object, whose Response counts
  guint response = 0;         // the subscription to that Response
  PortalSaveResult result{};
  bool ended = false;
  bool open = false;          // the portal may still show its dialog: Close it at the end
  gint64 takenAt = 0;         // when the portal took the request; 0 before
  bool backendLeft = false;   // a backend of the portal left the bus meanwhile
  std::string portalOwner{};  // the portal's unique name, once taken
  std::vector<std::string> backends{};
  std::vector<uint32_t> pids{};  // the portal's process and its backends'
  guint pinger = 0;
};

void End(PendingRequest& pending) {
  pending.ended = true;
  g_main_loop_quit(pending.loop);
}

void OnResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                gpointer data);

void FollowResponse(PendingRequest& pending, const std::string& path) {
  if (pending.response) g_dbus_connection_signal_unsubscribe(pending.connection, pending.response);
  pending.path = path;
  pending.response =
      g_dbus_connection_signal_subscribe(pending.connection, PortalName, RequestInterface, "Response",
                                         path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE, OnResponse, &pending,
                                         nullptr);
}

// A call to the bus itself, which answers at once; null on an error.
GVariant* AskBus(GDBusConnection* connection, const char* method, GVariant* parameters) {
  return g_dbus_connection_call_sync(connection, Bus, "/org/freedesktop/DBus", Bus, method, parameters, nullptr,
                                     G_DBUS_CALL_FLAGS_NONE, PingTimeoutMs, nullptr, nullptr);
}

uint32_t ProcessOf(GDBusConnection* connection, const std::string& name) {
  const OwnedVariant pid(AskBus(connection, "GetConnectionUnixProcessID", g_variant_new("(s)", name.c_str())));
  guint32 value = 0;
  if (pid) g_variant_get(pid.get(), "(u)", &value);
  return value;
}

// Who shows the dialog: the portal's connection and the backends that run.
void FindPortalProcesses(PendingRequest& pending) {
  if (const OwnedVariant owner{AskBus(pending.connection, "GetNameOwner", g_variant_new("(s)", PortalName))}) {
    const gchar* name = nullptr;
    g_variant_get(owner.get(), "(&s)", &name);
    pending.portalOwner = name;
  }
  if (const OwnedVariant names{AskBus(pending.connection, "ListNames", nullptr)}) {
    GVariantIter* iter = nullptr;
    const gchar* name = nullptr;
    g_variant_get(names.get(), "(as)", &iter);
    while (g_variant_iter_next(iter, "&s", &name))
      if (g_str_has_prefix(name, BackendPrefix)) pending.backends.emplace_back(name);
    g_variant_iter_free(iter);
  }
  pending.pids.push_back(ProcessOf(pending.connection, pending.portalOwner));
  for (const std::string& backend : pending.backends) pending.pids.push_back(ProcessOf(pending.connection, backend));
  std::erase(pending.pids, 0u);
}

// Whether a window of the portal's or a backend's showed: 1, 0, or -1 when
// the display cannot tell. Where no backend can be seen on the bus (a
// sandbox's bus shows only the portal), a window of any other program's counts.
int PortalWindowShown(const PendingRequest& pending) {
  if (!pending.request->windowShown) return -1;
  if (pending.backends.empty()) return pending.request->windowShown(0);
  if (pending.pids.empty()) return -1;
  int shown = 0;
  for (const uint32_t pid : pending.pids) {
    const int one = pending.request->windowShown(pid);
    if (one < 0) return -1;
    if (one > 0) shown = 1;
  }
  return shown;
}

// A ping in flight: whom it asked. Its answer may come after the request
// has ended and pending is gone, which the cancellable then says.
struct Ping {
  PendingRequest* pending;
  std::string name;
  std::unique_ptr<GCancellable, ObjectUnref> ended;
};

void OnPong(GObject* source, GAsyncResult* answer, gpointer data) {
  const std::unique_ptr<Ping> ping(static_cast<Ping*>(data));
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), answer, &error);
  const OwnedError owned(error);
  if (reply) g_variant_unref(reply);
  // Only silence counts: a name that left is the leaving's to tell.
  if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) || g_cancellable_is_cancelled(ping->ended.get()))
    return;
  PendingRequest& pending = *ping->pending;
  if (pending.ended) return;
  pending.result.failure =
      (ping->name == pending.portalOwner ? std::string("the desktop portal ") + PortalName
                                         : "the desktop portal's backend " + ping->name) +
      " stopped answering while its save dialog was open";
  End(pending);
}

gboolean PingPortal(gpointer data) {
  auto& pending = *static_cast<PendingRequest*>(data);
  std::vector<std::string> names = pending.backends;
  if (!pending.portalOwner.empty()) names.push_back(pending.portalOwner);
  for (const std::string& name : names)
    g_dbus_connection_call(pending.connection, name.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping", nullptr,
                           nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, PingTimeoutMs, pending.cancellable, OnPong,
                           new Ping{&pending, name, std::unique_ptr<GCancellable, ObjectUnref>(
                                                        G_CANCELLABLE(g_object_ref(pending.cancellable)))});
  return G_SOURCE_CONTINUE;
}

// The location of a file on this machine: a file URI with no host, or
// "localhost"; "" for any other, said in failure.
std::string LocalFile(const gchar* uri, std::string& failure) {
  gchar* host = nullptr;
  OwnedText path(g_filename_from_uri(uri, &host, nullptr));
  const OwnedText ownedHost(host);
  const std::string echoed = ShortText(uri, EchoedBytes);
  if (!path) {
    failure = "the desktop portal answered with a location that is no file: " + echoed;
    return "";
  }
  if (host && *host && g_ascii_strcasecmp(host, "localhost") != 0) {
    failure = "the desktop portal answered with a file of another machine: " + echoed;
    return "";
  }
  return path.get();
}

void OnResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                gpointer data) {
  auto& pending = *static_cast<PendingRequest*>(data);
  if (pending.ended || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
  pending.open = false;
  guint32 code = 2;
  GVariant* results = nullptr;
  g_variant_get(parameters, "(u@a{sv})", &code, &results);
  const OwnedVariant owned(results);
  PortalSaveResult& result = pending.result;
  if (GVariant* filter = g_variant_lookup_value(results, "current_filter", G_VARIANT_TYPE("(sa(us))")))
    result.filter = FilterIndex(*pending.request, filter);
  const gchar** uris = nullptr;
  if (code == 0 && g_variant_lookup(results, "uris", "^a&s", &uris) && uris && uris[0]) {
    result.path = LocalFile(uris[0], result.failure);
    if (!result.path.empty()) result.outcome = PortalOutcome::Accepted;
  } else if (code == 0) {
    result.failure = "the desktop portal accepted no file";
  } else if (code == 1) {
    result.outcome = PortalOutcome::Cancelled;
  } else if (const int shown = pending.backendLeft ? 0 : PortalWindowShown(pending); shown > 0) {
    result.outcome = PortalOutcome::Cancelled;  // its window closed: a person's cancel
  } else if (shown < 0 && pending.takenAt && g_get_monotonic_time() - pending.takenAt >= ClosedByPersonAfterUs) {
    result.outcome = PortalOutcome::Cancelled;
    result.note = "the desktop portal ended the save dialog without an answer, and this display cannot tell "
                  "whether its dialog showed: taken as a cancel";
  } else {
    result.failure = "the desktop portal ended the save dialog without an answer";
  }
  g_free(uris);
  End(pending);
}

void OnPortalLeft(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                  gpointer data) {
  auto& pending = *static_cast<PendingRequest*>(data);
  const gchar* name = nullptr;
  const gchar* newOwner = nullptr;
  g_variant_get(parameters, "(&s&s&s)", &name, nullptr, &newOwner);
  if (pending.ended || *newOwner) return;
  if (g_str_has_prefix(name, BackendNamespace)) {
    pending.backendLeft = true;  // its request ends with the portal's "other"
    return;
  }
  if (std::strcmp(name, PortalName) != 0) return;
  pending.open = false;
  pending.result.failure = "the desktop portal left the session bus before it answered";
  End(pending);
}

void OnRequestTaken(GObject* source, GAsyncResult* answer, gpointer data) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), answer, &error);
  const OwnedError owned(error);
  // Cancelled: the request has ended, and pending with it.
  if (!reply && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
  auto& pending = *static_cast<PendingRequest*>(data);
  if (reply) {
    // Portals before 0.9 made the request's object from a name of their own;
    // its Response comes there.
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    if (!pending.ended && pending.path != path) FollowResponse(pending, path);
    g_variant_unref(reply);
    pending.takenAt = g_get_monotonic_time();
    if (pending.ended) return;
    FindPortalProcesses(pending);
    pending.pinger = g_timeout_add(PingIntervalMs, PingPortal, &pending);
    return;
  }
  if (pending.ended) return;
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
    pending.result.failure = "the desktop portal did not take the request";
  } else {
    g_dbus_error_strip_remote_error(error);
    pending.open = false;
    pending.result.failure = "the desktop portal refused the save dialog: " + ShortText(error->message, EchoedBytes);
  }
  End(pending);
}

}  // namespace

PortalSaveResult PortalSaveFile(const PortalSaveRequest& request) {
  GError* error = nullptr;
  GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!connection) {
    const OwnedError owned(error);
    PortalSaveResult failed;
    failed.failure = std::string("no session bus for the desktop portal: ") + error->message;
    return failed;
  }
  const std::unique_ptr<GDBusConnection, ObjectUnref> owner(connection);
  // The portal makes the request's object from the caller's unique name and
  // this token; its Response is subscribed to before the call, so that an
  // answer that comes at once is not missed.
  std::string sender = g_dbus_connection_get_unique_name(connection) + 1;
  for (char& c : sender)
    if (c == '.') c = '_';
  const std::string token = "stashwick" + std::to_string(getpid());
  const std::string handle = std::string(PortalPath) + "/request/" + sender + "/" + token;

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  GCancellable* cancellable = g_cancellable_new();
  PendingRequest pending{&request, loop, connection, cancellable};
  pending.open = true;
  FollowResponse(pending, handle);
  const guint left = g_dbus_connection_signal_subscribe(
      connection, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
      "org.freedesktop", G_DBUS_SIGNAL_FLAGS_MATCH_ARG0_NAMESPACE, OnPortalLeft, &pending, nullptr);
  g_dbus_connection_call(connection, PortalName, PortalPath, "org.freedesktop.portal.FileChooser", "SaveFile",
                         g_variant_new("(ss@a{sv})", request.parentWindow.c_str(), Valid(request.title).c_str(),
                                       Options(request, token)),
                         G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, TakeRequestTimeoutMs, cancellable,
                         OnRequestTaken, &pending);
  if (!pending.ended) g_main_loop_run(loop);
  if (pending.pinger) g_source_remove(pending.pinger);
  g_cancellable_cancel(cancellable);
  g_object_unref(cancellable);
  g_dbus_connection_signal_unsubscribe(connection, pending.response);
  if (pending.open) {
    // A request given up is closed, so that the portal's dialog does not stay
    // beside the program's own; sent before that shows, with no answer awaited.
    g_dbus_connection_call(connection, PortalName, pending.path.c_str(), RequestInterface, "Close", nullptr,
                           nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
    g_dbus_connection_flush_sync(connection, nullptr, nullptr);
  }
  g_dbus_connection_signal_unsubscribe(connection, left);
  g_main_loop_unref(loop);
  return pending.result;
}
