#include "desktop/portal.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace {

const char* const PortalName = "org.freedesktop.portal.Desktop";
const char* const PortalPath = "/org/freedesktop/portal/desktop";

const char* const BackendNamespace = "org.freedesktop.impl.portal";

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
  PortalSaveResult result;
  bool ended = false;
  gint64 takenAt = 0;         // when the portal took the request; 0 before
  bool backendLeft = false;   // a backend of the portal left the bus meanwhile
};

void End(PendingRequest& pending) {
  pending.ended = true;
  g_main_loop_quit(pending.loop);
}

void OnResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                gpointer data) {
  auto& pending = *static_cast<PendingRequest*>(data);
  if (pending.ended || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
  guint32 code = 2;
  GVariant* results = nullptr;
  g_variant_get(parameters, "(u@a{sv})", &code, &results);
  const OwnedVariant owned(results);
  PortalSaveResult& result = pending.result;
  if (GVariant* filter = g_variant_lookup_value(results, "current_filter", G_VARIANT_TYPE("(sa(us))")))
    result.filter = FilterIndex(*pending.request, filter);
  const gchar** uris = nullptr;
  if (code == 0 && g_variant_lookup(results, "uris", "^a&s", &uris) && uris && uris[0]) {
    OwnedText path(g_filename_from_uri(uris[0], nullptr, nullptr));
    if (path) {
      result.outcome = PortalOutcome::Accepted;
      result.path = path.get();
    } else {
      result.failure = std::string("the desktop portal answered with a location that is no file: ") + uris[0];
    }
  } else if (code == 0) {
    result.failure = "the desktop portal accepted no file";
  } else if (code == 1) {
    result.outcome = PortalOutcome::Cancelled;
  } else if (!pending.backendLeft && pending.takenAt &&
             g_get_monotonic_time() - pending.takenAt >= ClosedByPersonAfterUs) {
    result.outcome = PortalOutcome::Cancelled;  // the window closed: a person's cancel
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
    g_variant_unref(reply);
    pending.takenAt = g_get_monotonic_time();
    return;
  }
  if (pending.ended) return;
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
    pending.result.failure = "the desktop portal did not take the request";
  } else {
    g_dbus_error_strip_remote_error(error);
    pending.result.failure = std::string("the desktop portal refused the save dialog: ") + error->message;
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
  PendingRequest pending{&request, loop, {}, false};
  const guint response =
      g_dbus_connection_signal_subscribe(connection, PortalName, "org.freedesktop.portal.Request", "Response",
                                         handle.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE, OnResponse, &pending,
                                         nullptr);
  const guint left = g_dbus_connection_signal_subscribe(
      connection, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
      "org.freedesktop", G_DBUS_SIGNAL_FLAGS_MATCH_ARG0_NAMESPACE, OnPortalLeft, &pending, nullptr);
  g_dbus_connection_call(connection, PortalName, PortalPath, "org.freedesktop.portal.FileChooser", "SaveFile",
                         g_variant_new("(ss@a{sv})", "", Valid(request.title).c_str(), Options(request, token)),
                         G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, TakeRequestTimeoutMs, cancellable,
                         OnRequestTaken, &pending);
  if (!pending.ended) g_main_loop_run(loop);
  g_cancellable_cancel(cancellable);
  g_object_unref(cancellable);
  g_dbus_connection_signal_unsubscribe(connection, response);
  g_dbus_connection_signal_unsubscribe(connection, left);
  g_main_loop_unref(loop);
  return pending.result;
}
