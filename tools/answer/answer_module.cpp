// GTK module that answers the file chooser dialog of a running program, for
// runs without a person: headless tools/run, the end-to-end tests and the
// benchmark. Loaded through GTK_MODULES=<absolute path>, it does nothing at
// all unless told, so that it answers no other program; steered by:
//   STASHWICK_ANSWER      accept | cancel | close | none | name:<UTF-8 name>
//                         (unset: none, and no message dialog is dismissed)
//                         (name: types the name into the entry, then accepts;
//                         both accepting answers wait, up to the folder wait
//                         below, until the dialog has a current folder,
//                         without which the toolkit ignores Save)
//   STASHWICK_SCREENSHOT  PNG file to save of the dialog before answering
//   STASHWICK_ANSWER_CLICK     name of a row of the file list to click, as a
//                         user does with the mouse, before an accepting answer
//                         (first of all: before the typed name and the filter)
//   STASHWICK_ANSWER_FILTER    index of a filter to pick in the dialog's filter
//                         list, as a user does, before an accepting answer
//                         (after the typed name of name:)
//   STASHWICK_ANSWER_DELAY_MS  wait this long after the dialog maps (default 0)
//   STASHWICK_ANSWER_REPORT    file to write what the dialog showed, once its
//                         folder has settled, before answering (format below)
//   STASHWICK_ANSWER_FOLDER_WAIT_MS  how long the report and an accept wait
//                         for the folder (default 10000); 0 for a folder that
//                         never settles, so that the answer comes at once
//
// The report has one "key=value" line per item, each value escaped with
// g_strescape (g_strcompress restores the exact bytes):
//   title        the window title the program set (UTF-8)
//   net_wm_name  the _NET_WM_NAME property of the X window
//   action       save | open | other
//   multiple     1 when several files may be selected, else 0
//   hidden       1 when the file list shows hidden files, else 0
//   folder       the current folder, "" when there is none
//   folder_wait  1 when the folder was still unset at the deadline
//   name         the text of the name entry ("" in open mode)
//   filters      the number of filters, then one "filter=<name>" line each,
//                in the dialog's order, each followed (GTK 3) by one
//                "pattern=<glob>" line for each of its patterns
//   active       index of the active filter in that list, -1 for none
//   mapped_ms    milliseconds from toolkit start-up to the mapped dialog
// and, appended when an accepting answer presses Save:
//   accepted_name  the text of the name entry at that moment
//
// An accepted dialog that is still open 10 s later (Save with an empty name
// does nothing) is reported on standard error as "stashwick-answer: the
// dialog stayed open after accept" and closed like a window manager would, so
// the run ends instead of waiting for a person.
//
// A message dialog that the toolkit raises on its own (a folder it cannot
// read, say) would block an unattended run: its text goes to standard error
// as "stashwick-answer: message: <text>" and it is dismissed; one that comes
// before the file dialog is on screen adds "stashwick-answer: the message came
// before the dialog was on screen".
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string answer;
std::string screenshotPath;
std::string reportPath;
std::string clickedRow;  // "": no click
bool clicked = false;
gint64 clickedAt = 0;
guint delayMs = 0;
int pickedFilter = -1;  // none
gint64 startedAt = 0;
gint64 mappedAt = 0;
bool reported = false;
bool answered = false;
gint64 answeredAt = 0;
const gint64 AcceptDeadlineUs = 10 * G_USEC_PER_SEC;
// The folder of a selected file is set asynchronously; a report waits this long for it.
gint64 folderDeadlineUs = 10 * G_USEC_PER_SEC;

// The last mapped toplevel window of the given type, or null.
GtkWidget* MappedToplevel(GType type) {
  GtkWidget* found = nullptr;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* l = toplevels; l; l = l->next) {
    GtkWidget* w = GTK_WIDGET(l->data);
    if (G_TYPE_CHECK_INSTANCE_TYPE(w, type) && gtk_widget_get_mapped(w)) found = w;
  }
  g_list_free(toplevels);
  return found;
}

GtkWidget* MappedChooserDialog() { return MappedToplevel(GTK_TYPE_FILE_CHOOSER_DIALOG); }

void FindNameEntry(GtkWidget* widget, gpointer result) {
  auto** entry = static_cast<GtkWidget**>(result);
  if (*entry) return;
  if (std::strcmp(G_OBJECT_TYPE_NAME(widget), "GtkFileChooserEntry") == 0) {
    *entry = widget;
  } else if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(GTK_CONTAINER(widget), FindNameEntry, result);
  }
}

// The dialog's filter list: the combo box whose model is a plain list store
// (the folder list of a save dialog has a filtered model).
void FindFilterList(GtkWidget* widget, gpointer result) {
  auto** list = static_cast<GtkWidget**>(result);
  if (*list) return;
  if (GTK_IS_COMBO_BOX(widget) && GTK_IS_LIST_STORE(gtk_combo_box_get_model(GTK_COMBO_BOX(widget)))) {
    *list = widget;
  } else if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(GTK_CONTAINER(widget), FindFilterList, result);
  }
}

// Picks the filter at index in the list, as a click there does.
void PickFilter(GtkWidget* dialog, int index) {
  GtkWidget* list = nullptr;
  FindFilterList(dialog, &list);
  if (list) {
    gtk_combo_box_set_active(GTK_COMBO_BOX(list), index);
  } else {
    g_printerr("stashwick-answer: the dialog has no filter list\n");
  }
}

void WriteLine(FILE* out, const char* key, const char* value) {
  gchar* escaped = g_strescape(value ? value : "", nullptr);
  std::fprintf(out, "%s=%s\n", key, escaped);
  g_free(escaped);
}

// The list of the current folder's files: the tree view whose model is the
// chooser's file system model (the other one holds the places).
void FindFileList(GtkWidget* widget, gpointer result) {
  auto** list = static_cast<GtkWidget**>(result);
  if (*list) return;
  GtkTreeModel* model = GTK_IS_TREE_VIEW(widget) ? gtk_tree_view_get_model(GTK_TREE_VIEW(widget)) : nullptr;
  if (model && std::strcmp(G_OBJECT_TYPE_NAME(model), "GtkFileSystemModel") == 0) {
    *list = widget;
  } else if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(GTK_CONTAINER(widget), FindFileList, result);
  }
}

// Clicks the row of the file list whose file has that name, with a button
// press and release on the row's name as the mouse gives them (the list takes
// the focus). False while the list shows no such row.
bool ClickRow(GtkWidget* dialog, const std::string& name) {
  GtkWidget* list = nullptr;
  FindFileList(dialog, &list);
  if (!list || !gtk_widget_get_mapped(list)) return false;
  GtkTreeView* view = GTK_TREE_VIEW(list);
  GtkTreeModel* model = gtk_tree_view_get_model(view);
  gint fileColumn = -1;
  for (gint c = 0; c < gtk_tree_model_get_n_columns(model) && fileColumn < 0; ++c)
    if (gtk_tree_model_get_column_type(model, c) == G_TYPE_FILE) fileColumn = c;
  GtkTreeIter row;
  for (gboolean more = gtk_tree_model_get_iter_first(model, &row); more && fileColumn >= 0;
       more = gtk_tree_model_iter_next(model, &row)) {
    GFile* file = nullptr;
    gtk_tree_model_get(model, &row, fileColumn, &file, -1);
    gchar* base = file ? g_file_get_basename(file) : nullptr;
    const bool match = base && name == base;
    g_free(base);
    if (file) g_object_unref(file);
    if (!match) continue;
    GtkTreePath* path = gtk_tree_model_get_path(model, &row);
    gtk_tree_view_scroll_to_cell(view, path, nullptr, FALSE, 0, 0);
    GdkRectangle cell;
    gtk_tree_view_get_cell_area(view, path, gtk_tree_view_get_column(view, 0), &cell);
    gtk_tree_path_free(path);
    const gint x = cell.x + MIN(cell.width / 2, 40), y = cell.y + cell.height / 2;
    GdkWindow* window = gtk_tree_view_get_bin_window(view);
    gdk_test_simulate_button(window, x, y, 1, GdkModifierType(0), GDK_BUTTON_PRESS);
    gdk_test_simulate_button(window, x, y, 1, GdkModifierType(0), GDK_BUTTON_RELEASE);
    return true;
  }
  return false;
}

// Whether the chooser's one selected file has that name.
bool RowSelected(GtkWidget* dialog, const std::string& name) {
  GSList* files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
  gchar* base = files && !files->next ? g_path_get_basename(static_cast<gchar*>(files->data)) : nullptr;
  const bool selected = base && name == base;
  g_free(base);
  g_slist_free_full(files, g_free);
  return selected;
}

void AppendAcceptedName(GtkWidget* dialog) {
  FILE* out = std::fopen(reportPath.c_str(), "ab");
  if (!out) return;
  GtkWidget* entry = nullptr;
  FindNameEntry(dialog, &entry);
  WriteLine(out, "accepted_name", entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : "");
  std::fclose(out);
}

void SaveScreenshot(GtkWidget* dialog) {
  GdkWindow* window = gtk_widget_get_window(dialog);
#if GTK_CHECK_VERSION(3, 0, 0)
  GdkPixbuf* shot = gdk_pixbuf_get_from_window(window, 0, 0, gdk_window_get_width(window),
                                               gdk_window_get_height(window));
#else
  gint width = 0, height = 0;
  gdk_drawable_get_size(GDK_DRAWABLE(window), &width, &height);
  GdkPixbuf* shot = gdk_pixbuf_get_from_drawable(nullptr, GDK_DRAWABLE(window), nullptr, 0, 0, 0, 0,
                                                 width, height);
#endif
  if (!shot) return;
  gdk_pixbuf_save(shot, screenshotPath.c_str(), "png", nullptr, nullptr);
  g_object_unref(shot);
}

std::string WindowProperty(GtkWidget* dialog, const char* name) {
  GdkAtom type = GDK_NONE;
  gint format = 0, length = 0;
  guchar* data = nullptr;
  std::string value;
  if (gdk_property_get(gtk_widget_get_window(dialog), gdk_atom_intern(name, FALSE), GDK_NONE, 0,
                       1 << 24, FALSE, &type, &format, &length, &data) &&
      data && format == 8) {
    value.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  }
  g_free(data);
  return value;
}

// One "pattern" line for each glob pattern of filter, where the toolkit can
// read them back (GTK 3.22 on); none before.
void WritePatterns(FILE* out, GtkFileFilter* filter) {
#if GTK_CHECK_VERSION(3, 22, 0)
  GVariant* described = g_variant_ref_sink(gtk_file_filter_to_gvariant(filter));
  GVariantIter* rules = nullptr;
  g_variant_get(described, "(&sa(us))", nullptr, &rules);
  guint32 kind = 0;
  const gchar* rule = nullptr;
  while (g_variant_iter_next(rules, "(u&s)", &kind, &rule))
    if (kind == 0) WriteLine(out, "pattern", rule);
  g_variant_iter_free(rules);
  g_variant_unref(described);
#else
  (void)out;
  (void)filter;
#endif
}

void WriteReport(GtkWidget* dialog, bool folderTimedOut) {
  FILE* out = std::fopen(reportPath.c_str(), "wb");
  if (!out) {
    g_printerr("stashwick-answer: cannot write %s\n", reportPath.c_str());
    return;
  }
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  WriteLine(out, "title", gtk_window_get_title(GTK_WINDOW(dialog)));
  WriteLine(out, "net_wm_name", WindowProperty(dialog, "_NET_WM_NAME").c_str());
  const GtkFileChooserAction action = gtk_file_chooser_get_action(chooser);
  WriteLine(out, "action", action == GTK_FILE_CHOOSER_ACTION_SAVE   ? "save"
                           : action == GTK_FILE_CHOOSER_ACTION_OPEN ? "open"
                                                                    : "other");
  WriteLine(out, "multiple", gtk_file_chooser_get_select_multiple(chooser) ? "1" : "0");
  WriteLine(out, "hidden", gtk_file_chooser_get_show_hidden(chooser) ? "1" : "0");
  gchar* folder = gtk_file_chooser_get_current_folder(chooser);
  WriteLine(out, "folder", folder);
  g_free(folder);
  WriteLine(out, "folder_wait", folderTimedOut ? "1" : "0");
  GtkWidget* entry = nullptr;
  FindNameEntry(dialog, &entry);
  WriteLine(out, "name", entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : "");
  GSList* filters = gtk_file_chooser_list_filters(chooser);
  GtkFileFilter* active = gtk_file_chooser_get_filter(chooser);
  std::fprintf(out, "filters=%u\n", g_slist_length(filters));
  int activeIndex = -1, index = 0;
  for (GSList* l = filters; l; l = l->next, ++index) {
    GtkFileFilter* filter = GTK_FILE_FILTER(l->data);
    if (filter == active) activeIndex = index;
    WriteLine(out, "filter", gtk_file_filter_get_name(filter));
    WritePatterns(out, filter);
  }
  g_slist_free(filters);
  std::fprintf(out, "active=%d\n", activeIndex);
  std::fprintf(out, "mapped_ms=%lld\n", static_cast<long long>((mappedAt - startedAt) / 1000));
  std::fclose(out);
}

bool DismissMessageDialog() {
  if (answer == "none") return false;
  GtkWidget* found = MappedToplevel(GTK_TYPE_MESSAGE_DIALOG);
  if (!found) return false;
  gchar* text = nullptr;
  g_object_get(found, "text", &text, nullptr);
  g_printerr("stashwick-answer: message: %s\n", text ? text : "");
  if (!MappedChooserDialog()) g_printerr("stashwick-answer: the message came before the dialog was on screen\n");
  g_free(text);
  gtk_dialog_response(GTK_DIALOG(found), GTK_RESPONSE_OK);
  return true;
}

bool AnswerAccepts() { return answer == "accept" || answer.rfind("name:", 0) == 0; }

// What a window manager does when the user closes the window.
void SendDeleteEvent(GtkWidget* dialog) {
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog)));
  event->any.send_event = TRUE;
  gtk_main_do_event(event);
  gdk_event_free(event);
}

gboolean Poll(gpointer) {
  if (DismissMessageDialog()) return TRUE;
  GtkWidget* dialog = MappedChooserDialog();
  if (answered) {
    if (dialog && AnswerAccepts() && g_get_monotonic_time() - answeredAt > AcceptDeadlineUs) {
      g_printerr("stashwick-answer: the dialog stayed open after accept\n");
      SendDeleteEvent(dialog);
      answeredAt = g_get_monotonic_time();
    }
    return TRUE;
  }
  if (!dialog) return TRUE;
  if (!mappedAt) mappedAt = g_get_monotonic_time();
  if (AnswerAccepts() || (!reportPath.empty() && !reported)) {
    // A save dialog without a folder yet ignores Save: accept waits for it too.
    gchar* folder = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(dialog));
    const bool settled = folder != nullptr;
    g_free(folder);
    const bool late = g_get_monotonic_time() - mappedAt >= folderDeadlineUs;
    if (!settled && !late) return TRUE;
    if (!reportPath.empty() && !reported) WriteReport(dialog, !settled);
    reported = true;
  }
  // A screenshot wants the folder loaded and the window drawn.
  guint wait = screenshotPath.empty() ? delayMs : MAX(delayMs, 600u);
  if (g_get_monotonic_time() - mappedAt < static_cast<gint64>(wait) * 1000) return TRUE;
  if (!screenshotPath.empty() && !clicked) {
    gdk_window_process_all_updates();
    SaveScreenshot(dialog);
  }
  if (AnswerAccepts() && !clickedRow.empty()) {
    // The click first, then, once the list has taken it, the rest of the answer.
    if (!clicked) {
      clicked = ClickRow(dialog, clickedRow);
      clickedAt = g_get_monotonic_time();
      if (!clicked && g_get_monotonic_time() - mappedAt < folderDeadlineUs) return TRUE;
      if (!clicked) g_printerr("stashwick-answer: the file list shows no row %s\n", clickedRow.c_str());
      clicked = true;
    }
    if (!RowSelected(dialog, clickedRow) && g_get_monotonic_time() - clickedAt < AcceptDeadlineUs)
      return TRUE;
  }
  if (AnswerAccepts()) {
    if (answer.rfind("name:", 0) == 0) {
      GtkWidget* entry = nullptr;
      FindNameEntry(dialog, &entry);
      if (entry) gtk_entry_set_text(GTK_ENTRY(entry), answer.c_str() + 5);
    }
    if (pickedFilter >= 0) PickFilter(dialog, pickedFilter);
    if (!reportPath.empty()) AppendAcceptedName(dialog);
    // Save pressed as a user presses it, released a moment later: GTK 3
    // ignores an accept that comes in the same instant as a typed name.
    GtkWidget* save = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    // The desktop portal's GTK backend gives its Save button OK instead.
    if (!save) save = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    if (save) {
      gtk_widget_activate(save);
    } else {
      gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    }
  } else if (answer == "cancel") {
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
  } else if (answer == "close") {
    SendDeleteEvent(dialog);
  }
  answered = true;
  answeredAt = g_get_monotonic_time();
  // Still watching: the toolkit may raise a message dialog after the answer.
  return TRUE;
}

}  // namespace

extern "C" G_MODULE_EXPORT void gtk_module_init(gint*, gchar***) {
  startedAt = g_get_monotonic_time();
  const char* a = std::getenv("STASHWICK_ANSWER");
  answer = a ? a : "none";
  const char* s = std::getenv("STASHWICK_SCREENSHOT");
  screenshotPath = s ? s : "";
  const char* d = std::getenv("STASHWICK_ANSWER_DELAY_MS");
  delayMs = d ? static_cast<guint>(std::strtoul(d, nullptr, 10)) : 0;
  const char* p = std::getenv("STASHWICK_ANSWER_FILTER");
  if (p) pickedFilter = static_cast<int>(std::strtol(p, nullptr, 10));
  const char* k = std::getenv("STASHWICK_ANSWER_CLICK");
  clickedRow = k ? k : "";
  const char* r = std::getenv("STASHWICK_ANSWER_REPORT");
  reportPath = r ? r : "";
  const char* f = std::getenv("STASHWICK_ANSWER_FOLDER_WAIT_MS");
  if (f) folderDeadlineUs = static_cast<gint64>(std::strtoul(f, nullptr, 10)) * 1000;
  if (answer != "none" || !screenshotPath.empty() || !reportPath.empty())
    g_timeout_add(20, Poll, nullptr);
}
