// Owners for what GLib and GTK hand over, so every path releases them.
#pragma once

#include <glib.h>
#include <gtk/gtk.h>
#include <memory>

struct GFreeDeleter {
  void operator()(gpointer p) const { g_free(p); }
};
// A string that GLib allocated; released with g_free.
using GText = std::unique_ptr<gchar, GFreeDeleter>;

struct GStringListDeleter {
  void operator()(GSList* list) const {
    g_slist_foreach(list, [](gpointer data, gpointer) { g_free(data); }, nullptr);
    g_slist_free(list);
  }
};
// A GSList whose elements are g_free'd strings; the list owns them.
using GStringList = std::unique_ptr<GSList, GStringListDeleter>;

struct WidgetDestroyer {
  void operator()(GtkWidget* w) const { gtk_widget_destroy(w); }
};
// A toplevel widget (a dialog) that ends with gtk_widget_destroy.
using OwnedWidget = std::unique_ptr<GtkWidget, WidgetDestroyer>;
