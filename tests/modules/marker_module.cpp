// A GTK module that leaves the file $HOME/stashwick-marker behind when the
// toolkit loads it: shows whether a --gtk-module argument was obeyed.
#include <gtk/gtk.h>

#include <string>

extern "C" G_MODULE_EXPORT void gtk_module_init(gint*, gchar***) {
  const std::string marker = std::string(g_get_home_dir()) + "/stashwick-marker";
  g_file_set_contents(marker.c_str(), "loaded\n", -1, nullptr);
}
