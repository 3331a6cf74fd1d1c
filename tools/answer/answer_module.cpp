// GTK module that answers the file chooser dialog of a running program, for
// runs without a person: headless tools/run, the end-to-end tests and the
// benchmark. Loaded through GTK_MODULES=<absolute path>; steered by:
//   STASHWICK_ANSWER      accept | cancel | close | none | name:<UTF-8 name>
//                         (name: types the name into the entry, then accepts)
//   STASHWICK_SCREENSHOT  PNG file to save of the dialog before answering
//   STASHWICK_ANSWER_DELAY_MS  wait this long after the dialog maps (default 0)
#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string answer;
std::string screenshotPath;
guint delayMs = 0;
gint64 mappedAt = 0;

GtkWidget* MappedChooserDialog() {
  GtkWidget* found = nullptr;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* l = toplevels; l; l = l->next) {
    GtkWidget* w = GTK_WIDGET(l->data);
    if (GTK_IS_FILE_CHOOSER_DIALOG(w) && gtk_widget_get_mapped(w)) found = w;
  }
  g_list_free(toplevels);
  return found;
}

void FindNameEntry(GtkWidget* widget, gpointer result) {
  auto** entry = static_cast<GtkWidget**>(result);
  if (*entry) return;
  if (std::strcmp(G_OBJECT_TYPE_NAME(widget), "GtkFileChooserEntry") == 0) {
    *entry = widget;
  } else if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(GTK_CONTAINER(widget), FindNameEntry, result);
  }
}

void SaveScreenshot(GtkWidget* dialog) {
  GdkWindow* window = gtk_widget_get_window(dialog);
  gint width = 0, height = 0;
  gdk_drawable_get_size(GDK_DRAWABLE(window), &width, &height);
  GdkPixbuf* shot = gdk_pixbuf_get_from_drawable(nullptr, GDK_DRAWABLE(window), nullptr, 0, 0, 0, 0,
                                                 width, height);
  if (!shot) return;
  gdk_pixbuf_save(shot, screenshotPath.c_str(), "png", nullptr, nullptr);
  g_object_unref(shot);
}

gboolean Poll(gpointer) {
  GtkWidget* dialog = MappedChooserDialog();
  if (!dialog) return TRUE;
  if (!mappedAt) mappedAt = g_get_monotonic_time();
  // A screenshot wants the folder loaded and the window drawn.
  guint wait = screenshotPath.empty() ? delayMs : MAX(delayMs, 600u);
  if (g_get_monotonic_time() - mappedAt < static_cast<gint64>(wait) * 1000) return TRUE;
  if (!screenshotPath.empty()) {
    gdk_window_process_all_updates();
    SaveScreenshot(dialog);
  }
  if (answer.rfind("name:", 0) == 0) {
    GtkWidget* entry = nullptr;
    FindNameEntry(dialog, &entry);
    if (entry) gtk_entry_set_text(GTK_ENTRY(entry), answer.c_str() + 5);
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  } else if (answer == "accept") {
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  } else if (answer == "cancel") {
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
  } else if (answer == "close") {
    // What a window manager does when the user closes the window.
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog)));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
  }
  return FALSE;
}

}  // namespace

extern "C" G_MODULE_EXPORT void gtk_module_init(gint*, gchar***) {
  const char* a = std::getenv("STASHWICK_ANSWER");
  answer = a ? a : "accept";
  const char* s = std::getenv("STASHWICK_SCREENSHOT");
  screenshotPath = s ? s : "";
  const char* d = std::getenv("STASHWICK_ANSWER_DELAY_MS");
  delayMs = d ? static_cast<guint>(std::strtoul(d, nullptr, 10)) : 0;
  if (answer != "none" || !screenshotPath.empty()) g_timeout_add(20, Poll, nullptr);
}
