#include "support/chooser_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chooser/file_chooser.h"
#include "chooser/toolkit_start.h"
#include "chooser/toolkit_owners.h"
#include "runtime/arguments.h"
#include "support/program.h"

namespace {

int Complaints = 0;

void CountComplaint(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
  ++Complaints;
  std::fprintf(stderr, "toolkit complaint (%s): %s\n", domain ? domain : "", message);
}

}  // namespace

int ToolkitComplaints() { return Complaints; }

void StartToolkitPrivately(const ScratchDir& dir) {
  // Without a display the toolkit would end the process.
  if (!RequireDisplay()) return;
  for (const char* domain : {"Gtk", "Gdk", "GLib", "GLib-GObject", "GLib-GIO", "GdkPixbuf"})
    g_log_set_handler(domain,
                      static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL |
                                                  G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
                      CountComplaint, nullptr);
  for (const auto& [name, value] : PrivateDesktopEnv(dir)) setenv(name.c_str(), value.c_str(), 1);
  // The tests answer their own dialogs; no module from the caller's desktop.
  unsetenv("GTK_MODULES");
  static char programName[] = "stashwick_gui_tests";
  static char* vector[] = {programName, nullptr};
  QV_ArgC = 1;
  QV_ArgV = vector;
  ToolkitInit();
}

namespace {

std::vector<GtkWidget*> ChooserDialogs();

struct Answerer {
  std::function<void(GtkWidget*)> answer;
  gint64 deadline = 0;
  int answered = 0;
  bool overdue = false;
};

gboolean AnswerTick(gpointer data) {
  auto* state = static_cast<Answerer*>(data);
  GtkWidget* dialog = FindMappedChooserDialog();
  if (!dialog) return TRUE;
  if (g_get_monotonic_time() > state->deadline) {
    if (!state->overdue) ADD_FAILURE() << "the dialog was still open at the deadline";
    state->overdue = true;
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    return TRUE;
  }
  if (state->answered == 0) {
    ++state->answered;
    state->answer(dialog);
  }
  return TRUE;
}

void CollectWidgets(GtkWidget* widget, std::vector<GtkWidget*>& out) {
  out.push_back(widget);
  if (GTK_IS_CONTAINER(widget))
    gtk_container_forall(
        GTK_CONTAINER(widget),
        [](GtkWidget* child, gpointer list) {
          CollectWidgets(child, *static_cast<std::vector<GtkWidget*>*>(list));
        },
        &out);
}

}  // namespace

std::string RunAnswered(const std::function<std::string()>& entry,
                        const std::function<void(GtkWidget* dialog)>& answer, double deadlineSeconds) {
  Answerer state{answer, g_get_monotonic_time() + static_cast<gint64>(deadlineSeconds * 1e6)};
  const int complaints = ToolkitComplaints();
  const guint source = g_timeout_add(20, AnswerTick, &state);
  std::string result = entry();
  g_source_remove(source);
  EXPECT_EQ(ToolkitComplaints(), complaints) << "the toolkit logged warnings or criticals (see stderr)";
  EXPECT_EQ(state.answered, 1) << "the dialog was not answered exactly once";
  EXPECT_EQ(ChooserDialogs().size(), 0u) << "a dialog outlived its entry";
  return result;
}

bool PumpUntil(const std::function<bool()>& done, double deadlineSeconds) {
  const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(deadlineSeconds * 1e6);
  while (!done()) {
    if (g_get_monotonic_time() > deadline) return done();
    if (gtk_events_pending())
      gtk_main_iteration_do(FALSE);
    else
      g_usleep(2000);
  }
  return true;
}

namespace {

// Toplevel chooser dialogs, on screen or not; destroyed ones have left the list.
std::vector<GtkWidget*> ChooserDialogs() {
  std::vector<GtkWidget*> dialogs;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* item = toplevels; item; item = item->next)
    if (GTK_IS_FILE_CHOOSER_DIALOG(item->data)) dialogs.push_back(GTK_WIDGET(item->data));
  g_list_free(toplevels);
  return dialogs;
}

}  // namespace

GtkWidget* FindMappedChooserDialog() {
  for (GtkWidget* dialog : ChooserDialogs())
    if (gtk_widget_get_mapped(dialog)) return dialog;
  return nullptr;
}

std::string CurrentFolder(GtkWidget* dialog) {
  GText folder(gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(dialog)));
  return folder ? folder.get() : "";
}

GtkWidget* NameEntry(GtkWidget* dialog) {
  std::vector<GtkWidget*> widgets;
  CollectWidgets(dialog, widgets);
  for (GtkWidget* widget : widgets)
    if (std::strcmp(G_OBJECT_TYPE_NAME(widget), "GtkFileChooserEntry") == 0 && gtk_widget_get_mapped(widget))
      return widget;
  return nullptr;
}

std::string NameEntryText(GtkWidget* dialog) {
  GtkWidget* entry = NameEntry(dialog);
  return entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : "(no name entry)";
}

std::vector<std::string> SelectedPaths(GtkWidget* dialog) {
  GStringList list(gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog)));
  std::vector<std::string> paths;
  for (GSList* item = list.get(); item; item = item->next)
    paths.push_back(static_cast<const char*>(item->data));
  return paths;
}

std::vector<ActionButton> ActionButtons(GtkWidget* dialog) {
  GtkWidget* area = gtk_dialog_get_action_area(GTK_DIALOG(dialog));
#if GTK_CHECK_VERSION(3, 12, 0)
  // GTK 3 puts them in a header bar where its settings ask for one (on
  // Wayland by default).
  if (GtkWidget* header = gtk_dialog_get_header_bar(GTK_DIALOG(dialog))) area = header;
#endif
  std::vector<std::pair<int, ActionButton>> placed;
  GList* children = gtk_container_get_children(GTK_CONTAINER(area));
  for (GList* item = children; item; item = item->next) {
    auto* widget = static_cast<GtkWidget*>(item->data);
    // Only the dialog's own buttons: a header bar holds other widgets too.
    if (!GTK_IS_BUTTON(widget) ||
        gtk_dialog_get_response_for_widget(GTK_DIALOG(dialog), widget) == GTK_RESPONSE_NONE)
      continue;
    // The box lists end-packed children backwards; "position" is the order
    // in which they were added.
    int position = 0;
    gtk_container_child_get(GTK_CONTAINER(area), widget, "position", &position, nullptr);
    const gchar* label = gtk_button_get_label(GTK_BUTTON(widget));
    placed.push_back({position,
                      {widget, label ? label : "", gtk_button_get_use_stock(GTK_BUTTON(widget)) != FALSE,
                       gtk_dialog_get_response_for_widget(GTK_DIALOG(dialog), widget),
                       gtk_widget_has_default(widget) != FALSE}});
  }
  g_list_free(children);
  std::sort(placed.begin(), placed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<ActionButton> buttons;
  for (auto& [position, button] : placed) buttons.push_back(button);
  return buttons;
}

bool ClickResponseButton(GtkWidget* dialog, int response) {
  GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
  if (!button) return false;
  // As a click or the keyboard presses it: pressed, then clicked a moment
  // later. GTK 3 ignores a Save clicked in the same instant as a typed name.
  gtk_widget_activate(button);
  return true;
}

void SendDeleteEvent(GtkWidget* dialog) {
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(dialog)));
  event->any.send_event = TRUE;
  gdk_event_put(event);
  gdk_event_free(event);
}

std::vector<GtkFileFilter*> ChooserFilters(GtkWidget* dialog) {
  GSList* list = gtk_file_chooser_list_filters(GTK_FILE_CHOOSER(dialog));
  std::vector<GtkFileFilter*> filters;
  for (GSList* item = list; item; item = item->next) filters.push_back(GTK_FILE_FILTER(item->data));
  g_slist_free(list);  // the filters stay the dialog's
  return filters;
}

GtkFileFilter* ActiveFilter(GtkWidget* dialog) {
  return gtk_file_chooser_get_filter(GTK_FILE_CHOOSER(dialog));
}

long FilterIndex(GtkFileFilter* filter) {
  return filter ? static_cast<long>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(filter), "qv_index"))) : -1;
}

std::string FilterName(GtkFileFilter* filter) {
  const gchar* name = gtk_file_filter_get_name(filter);
  return name ? name : "(null)";
}

bool FilterMatches(GtkFileFilter* filter, const std::string& name) {
  GtkFileFilterInfo info = {};
  info.contains = static_cast<GtkFileFilterFlags>(GTK_FILE_FILTER_DISPLAY_NAME | GTK_FILE_FILTER_FILENAME);
  info.filename = name.c_str();
  info.display_name = name.c_str();
  return gtk_file_filter_filter(filter, &info) != FALSE;
}

namespace {

// The list of the current folder's files: the tree view whose model is the
// chooser's file system model (the other tree view holds the places).
GtkTreeView* FileListView(GtkWidget* dialog) {
  std::vector<GtkWidget*> widgets;
  CollectWidgets(dialog, widgets);
  for (GtkWidget* widget : widgets) {
    if (!GTK_IS_TREE_VIEW(widget) || !gtk_widget_get_mapped(widget)) continue;
    GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(widget));
    if (model && std::strcmp(G_OBJECT_TYPE_NAME(model), "GtkFileSystemModel") == 0)
      return GTK_TREE_VIEW(widget);
  }
  return nullptr;
}

}  // namespace

bool SelectInFileList(GtkWidget* dialog, const std::vector<std::string>& paths) {
  // gtk_file_chooser_select_filename moves the list's cursor to the file, and
  // moving the cursor replaces the selection: find each row that way first.
  std::vector<GtkTreePath*> rows;
  bool found = true;
  for (const std::string& path : paths) {
    GtkTreePath* row = nullptr;
    found = PumpUntil([&] {
      GtkTreeView* view = FileListView(dialog);
      if (!view) return false;
      gtk_file_chooser_select_filename(GTK_FILE_CHOOSER(dialog), path.c_str());
      if (SelectedPaths(dialog) != std::vector<std::string>{path}) return false;
      gtk_tree_view_get_cursor(view, &row, nullptr);
      return row != nullptr;
    });
    if (!found) break;
    rows.push_back(row);
  }
  if (found) {
    GtkTreeSelection* selection = gtk_tree_view_get_selection(FileListView(dialog));
    for (GtkTreePath* row : rows) gtk_tree_selection_select_path(selection, row);
  }
  for (GtkTreePath* row : rows) gtk_tree_path_free(row);
  return found;
}
