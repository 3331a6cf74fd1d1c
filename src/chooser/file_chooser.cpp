#include "chooser/file_chooser.h"

#include <gtk/gtk.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "chooser/filter_pattern.h"
#include "chooser/text_conversion.h"
#include "chooser/toolkit_compat.h"
#include "chooser/toolkit_owners.h"
#include "desktop/desktop_services.h"
#include "desktop/portal.h"
#include "runtime/text_decoding.h"

namespace {

enum class ChooserMode { Save, Open };

GStringList ChosenPathList;                // paths of the last accepted dialog, UTF-8
GSList* ChosenPathCursor = nullptr;        // element handed out last; null with no list
int32_t LastFilterIndex = 0;               // filter active when the last dialog closed
const char* const FilterIndexKey = "qv_index";

void DiscardChosenPaths() {
  ChosenPathList.reset();
  ChosenPathCursor = nullptr;
}

// The default file: a folder (ending in "/"), or a file to select and, when
// saving, to propose by name. With none, the working folder: without a folder
// the save dialog opens on "Recently Used", where a typed name cannot be saved.
void ApplyDefaultFile(GtkFileChooser* chooser, const gchar* defaultFile, ChooserMode mode) {
  const size_t length = strlen(defaultFile);
  if (length == 0) {
    GText workingFolder(g_get_current_dir());
    gtk_file_chooser_set_current_folder(chooser, workingFolder.get());
  } else if (defaultFile[length - 1] == '/') {
    gtk_file_chooser_set_current_folder(chooser, defaultFile);
  } else {
    gtk_file_chooser_set_filename(chooser, defaultFile);
    if (mode == ChooserMode::Save) {
      const gchar* slash = strrchr(defaultFile, '/');
      gtk_file_chooser_set_current_name(chooser, slash ? slash + 1 : defaultFile);
    }
  }
}

// Adds the filters to the chooser in order; the one at position, if any, is
// returned for preselection.
GtkFileFilter* AddFilters(GtkFileChooser* chooser, const std::vector<PatternFilter>& filters,
                          int32_t position) {
  GtkFileFilter* preselect = nullptr;
  int32_t index = 0;
  for (const PatternFilter& parsed : filters) {
    GtkFileFilter* filter = gtk_file_filter_new();
    g_object_set_data(G_OBJECT(filter), FilterIndexKey, GINT_TO_POINTER(index));
    gtk_file_filter_set_name(filter, parsed.name.c_str());
    if (index == position) preselect = filter;
    ++index;
    for (const std::string& glob : parsed.patterns) gtk_file_filter_add_pattern(filter, glob.c_str());
    // The chooser takes the floating reference: the filter ends with the dialog.
    gtk_file_chooser_add_filter(chooser, filter);
  }
  return preselect;
}

// Whether filter shows a file of that UTF-8 name, as the file list matches it.
bool FilterAdmits(GtkFileFilter* filter, const std::string& name) {
  GtkFileFilterInfo info = {};
  info.contains = static_cast<GtkFileFilterFlags>(GTK_FILE_FILTER_DISPLAY_NAME | GTK_FILE_FILTER_FILENAME);
  info.filename = name.c_str();
  info.display_name = name.c_str();
  return gtk_file_filter_filter(filter, &info) != FALSE;
}

// The filters of one save dialog and the one active last, so that a switch
// knows the filter it leaves.
struct SuffixFollower {
  const std::vector<PatternFilter>& filters;
  GtkFileFilter* active;
};

const std::vector<std::string>& PatternsOf(const SuffixFollower& follower, GtkFileFilter* filter) {
  const gint index = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(filter), FilterIndexKey));
  return follower.filters[static_cast<size_t>(index)].patterns;
}

// When the user picks another filter, the extension of the proposed name
// follows it: "notes.txt" becomes "notes.md" on a switch from "*.txt" to "*.md".
void FollowPickedFilter(GObject* object, GParamSpec*, gpointer data) {
  auto* follower = static_cast<SuffixFollower*>(data);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(object);
  GtkFileFilter* left = follower->active;
  GtkFileFilter* picked = gtk_file_chooser_get_filter(chooser);
  follower->active = picked;
  if (!left || !picked || left == picked) return;
  const std::string name = ToolkitNameFieldText(chooser);
  if (name.empty()) return;
  const std::string renamed = NameForPickedFilter(name, PatternsOf(*follower, left),
                                                  PatternsOf(*follower, picked), FilterAdmits(picked, name));
  if (renamed.empty()) return;
  // A row still selected in the file list (the user clicked it) is what Save
  // would take while the list has the focus, whatever the field says; with
  // none selected, Save takes the current folder and the field.
  gtk_file_chooser_unselect_all(chooser);
  gtk_file_chooser_set_current_name(chooser, renamed.c_str());
}

// The parent of process pid, as /proc tells it; 0 where it cannot be read.
// The command's name in its stat line may hold any byte, ")" and spaces
// too: the fields after it start after the line's last ")".
pid_t ParentProcess(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t name = line.rfind(')');
  if (name == std::string::npos) return 0;
  char state = 0;
  long parent = 0;
  return std::sscanf(line.c_str() + name + 1, " %c %ld", &state, &parent) == 2 ? static_cast<pid_t>(parent) : 0;
}

// Whether pid started this program: its parent, the parent's parent, and so
// on below init.
bool IsAncestor(pid_t pid) {
  if (pid <= 1) return false;
  pid_t current = getppid();
  for (int depth = 0; current > 1 && depth < 256; ++depth, current = ParentProcess(current))
    if (current == pid) return true;
  return false;
}

// The window that the user works in, where a process that started this
// program shows it: the caller, as the portal names a parent window
// ("x11:<hex id>"); "" where that is another program's, or not known
// (Wayland, no window manager).
std::string CallerWindowHandle() {
  const ActiveWindow active = ToolkitActiveWindow();
  if (!active.id || !IsAncestor(active.pid)) return "";
  char handle[32];
  std::snprintf(handle, sizeof handle, "x11:%lx", active.id);
  return handle;
}

// The X server time of the startup notification id's _TIME<n>, read as the
// toolkit reads it (any base strtoul takes, kept to 32 bits); false for an
// id without one, and for none.
bool StartupIdTime(const char* id, uint32_t* time) {
  const char* field = id ? g_strrstr(id, "_TIME") : nullptr;
  if (!field) return false;
  field += 5;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(field, &end, 0);
  if (end == field || errno != 0) return false;
  *time = static_cast<uint32_t>(value);
  return true;
}

// The toolkit gives the dialog the startup id's time as the user's last
// interaction with it, and window managers that prevent focus stealing put a
// window whose time comes before the user's last key or click in the active
// window behind that window, unfocused. A launcher's id for a program that
// did not clear it is inherited by everything that program starts later: an
// id older than the active window's last interaction is such a stale one, and
// the dialog takes the server's time now instead, as the user asked for it
// just now. An id made for this run (a launch context's, after the click that
// asked) and no id stay as they are.
void SupersedeStaleStartupTime(GtkWidget* dialog) {
  uint32_t launched = 0;
  if (!StartupIdTime(ToolkitStartupId(), &launched)) return;
  const ActiveWindow active = ToolkitActiveWindow();
  const uint32_t since = active.userTime - launched;  // X server times wrap around
  if (active.userTime == 0 || since == 0 || since >= 0x80000000u) return;
  gtk_widget_realize(dialog);
  ToolkitStampUserTimeNow(dialog);
}

// The save dialog through the desktop portal, with what the own dialog would
// show first: the default file's folder (the working folder for none) and
// its name, proposed. False when the portal failed, said on standard error:
// the own dialog shows then. On acceptance the path is the chosen list's one.
bool RunPortalSaveDialog(const gchar* title, const gchar* defaultFile, const std::vector<PatternFilter>& filters,
                         int32_t position) {
  PortalSaveRequest request;
  request.title = ToolkitWindowTitle(title);
  const size_t length = strlen(defaultFile);
  // A relative name is taken from the working folder, as the toolkit takes it.
  GText absolute(g_canonicalize_filename(length ? defaultFile : ".", nullptr));
  if (length == 0 || defaultFile[length - 1] == '/') {
    request.folder = absolute.get();
  } else {
    GText folder(g_path_get_dirname(absolute.get()));
    request.folder = folder.get();
    const gchar* slash = strrchr(defaultFile, '/');
    request.name = slash ? slash + 1 : defaultFile;
  }
  for (const PatternFilter& filter : filters) request.filters.push_back({filter.name, filter.patterns});
  request.preselect = position;
  const ToolkitWindowWatch windows;
  request.windowShown = [&windows](uint32_t pid) { return windows.Shown(pid); };
  request.parentWindow = CallerWindowHandle();
  const PortalSaveResult result = PortalSaveFile(request);
  if (result.outcome == PortalOutcome::Failed) {
    std::fprintf(stderr, "stashwick: %s: the program's own save dialog shows instead\n",
                 MessageText(result.failure, true).c_str());
    return false;
  }
  if (!result.note.empty()) std::fprintf(stderr, "stashwick: %s\n", result.note.c_str());
  LastFilterIndex = result.filter >= 0 ? result.filter
                    : position >= 0 && static_cast<size_t>(position) < filters.size() ? position
                                                                                      : 0;
  if (result.outcome == PortalOutcome::Accepted) {
    ChosenPathList.reset(g_slist_prepend(nullptr, g_strdup(result.path.c_str())));
    ChosenPathCursor = ChosenPathList.get();
  }
  return true;
}

// Processes the events pending now: one pass of the toolkit's loop (it
// dispatches every source ready at the highest priority), then further passes
// while window-system events are still queued, since each pass takes only one
// of those. It does not go on while other work keeps finishing: the default
// file sets off loading its folder, a chain of asynchronous steps that lasts as
// long as the folder is large (a directory watch, then thousands of files per
// step), and the dialog's own loop carries that on once the dialog is on screen.
void ProcessPendingEvents() {
  bool firstPass = true;
  while (gtk_events_pending() && (firstPass || gdk_events_pending())) {
    gtk_main_iteration_do(FALSE);
    firstPass = false;
  }
}

std::string RunFileChooser(const char* title, const char* defaultFile, const char* pattern,
                           int32_t position, int32_t flags, ChooserMode mode) {
  // Declared in this order so that they are released pattern first, title last.
  const GText utf8Title = ToToolkitText(title);
  const GText utf8DefaultFile = ToToolkitText(defaultFile);
  const GText utf8Pattern = ToToolkitText(pattern);
  LastFilterIndex = 0;
  DiscardChosenPaths();

  const bool saving = mode == ChooserMode::Save;
  const std::vector<PatternFilter> filters = ParseFilterPattern(utf8Pattern.get());
  if (saving && PortalSaveDialogChosen() &&
      RunPortalSaveDialog(utf8Title.get(), utf8DefaultFile.get(), filters, position))
    return FromToolkitText(ChosenPathCursor ? static_cast<const gchar*>(ChosenPathCursor->data) : nullptr);
  const std::string shownTitle = ToolkitWindowTitle(utf8Title.get());
  OwnedWidget dialog(gtk_file_chooser_dialog_new(
      shownTitle.c_str(), nullptr, saving ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN,
      GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, saving ? GTK_STOCK_SAVE : GTK_STOCK_OPEN,
      GTK_RESPONSE_ACCEPT, nullptr));
  if (!dialog) return FromToolkitText(nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog.get());

  gtk_dialog_set_default_response(GTK_DIALOG(dialog.get()), GTK_RESPONSE_ACCEPT);
  ApplyDefaultFile(chooser, utf8DefaultFile.get(), mode);
  if (flags & AllowMultiple) gtk_file_chooser_set_select_multiple(chooser, TRUE);
  GtkFileFilter* preselect = AddFilters(chooser, filters, position);
  SupersedeStaleStartupTime(dialog.get());

  // The dialog looks up the home folder for its place in the sidebar. When that
  // folder does not exist (HOME unset and a home in the password file that is
  // not there, as for "nobody"), the lookup ends in an error box, a modal run of
  // its own, which the pass below would start before the dialog is on screen:
  // the user would meet an untitled box first. The dialog shows first then, and
  // the box comes on top of it.
  const gchar* home = g_get_home_dir();
  if (home && !g_file_test(home, G_FILE_TEST_IS_DIR)) gtk_widget_show(dialog.get());
  ProcessPendingEvents();
  if (preselect) gtk_file_chooser_set_filter(chooser, preselect);

  // Only a filter the user picks in the open dialog renames: the preselection
  // above leaves the default file's name as it is.
  SuffixFollower follower{filters, gtk_file_chooser_get_filter(chooser)};
  const gulong following = saving ? g_signal_connect(chooser, "notify::filter",
                                                     G_CALLBACK(FollowPickedFilter), &follower)
                                  : 0;
  const gint response = gtk_dialog_run(GTK_DIALOG(dialog.get()));
  if (following) g_signal_handler_disconnect(chooser, following);

  const gchar* chosen = nullptr;
  if (response == GTK_RESPONSE_ACCEPT) {
    ChosenPathList.reset(gtk_file_chooser_get_filenames(chooser));
    ChosenPathCursor = ChosenPathList.get();
    if (ChosenPathCursor) chosen = static_cast<const gchar*>(ChosenPathCursor->data);
  }
  if (GtkFileFilter* active = gtk_file_chooser_get_filter(chooser))
    LastFilterIndex = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(active), FilterIndexKey));
  dialog.reset();
  return FromToolkitText(chosen);
}

}  // namespace

std::string SaveFileChooser(const char* title, const char* defaultFile, const char* pattern,
                            int32_t position) {
  return RunFileChooser(title, defaultFile, pattern, position, 0, ChooserMode::Save);
}

std::string OpenFileChooser(const char* title, const char* defaultFile, const char* pattern,
                            int32_t position) {
  return RunFileChooser(title, defaultFile, pattern, position, 0, ChooserMode::Open);
}

std::string OpenFileChooser(const char* title, const char* defaultFile, const char* pattern,
                            int32_t position, int32_t flags) {
  return RunFileChooser(title, defaultFile, pattern, position, flags, ChooserMode::Open);
}

std::string NextChosenPath() {
  if (ChosenPathCursor) ChosenPathCursor = ChosenPathCursor->next;
  std::string result =
      FromToolkitText(ChosenPathCursor ? static_cast<const gchar*>(ChosenPathCursor->data) : nullptr);
  if (!ChosenPathCursor) DiscardChosenPaths();
  return result;
}

int64_t ChosenFilterIndex() { return LastFilterIndex; }
