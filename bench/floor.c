/* The smallest honest save dialog of the toolkit stashwick builds with (GTK+ 2,
 * or GTK 3 in the GTK 3 build): the baseline the start-up benchmark holds
 * stashwick against. It does the same toolkit work as stashwick and nothing
 * more, in the same order. It sets no environment for itself: where stashwick
 * keeps the toolkit from autolaunching a session bus, bench.py gives it the
 * same variables.
 *
 *   floor TITLE FILE PATTERN POS  save dialog on FILE with the filters of
 *                                 PATTERN ("name|globs|name|globs..", globs
 *                                 split by ";", "*.*" taken as "*"); then one
 *                                 pass of the main loop, and more only while
 *                                 window-system events are queued; then the
 *                                 filter at POS, if any, made active
 *   floor --init-only             toolkit start-up only, then exit
 *
 * Prints the accepted file name, nothing on cancel. */
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Adds the filters of pattern; returns the one at position, if any. */
static GtkFileFilter *add_filters(GtkFileChooser *chooser, const char *pattern, int position) {
  gchar **parts = g_strsplit(pattern, "|", -1);
  GtkFileFilter *preselect = NULL;
  int index = 0;
  for (gchar **part = parts; part[0] && part[1]; part += 2, ++index) {
    GtkFileFilter *filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, part[0]);
    gchar **globs = g_strsplit(part[1], ";", -1);
    for (gchar **glob = globs; *glob; ++glob)
      gtk_file_filter_add_pattern(filter, strcmp(*glob, "*.*") == 0 ? "*" : *glob);
    g_strfreev(globs);
    gtk_file_chooser_add_filter(chooser, filter);
    if (index == position) preselect = filter;
  }
  g_strfreev(parts);
  return preselect;
}

/* The same loop as ProcessPendingEvents in src/chooser/file_chooser.cpp. */
static void process_pending_events(void) {
  gboolean first_pass = TRUE;
  while (gtk_events_pending() && (first_pass || gdk_events_pending())) {
    gtk_main_iteration_do(FALSE);
    first_pass = FALSE;
  }
}

int main(int argc, char **argv) {
  gtk_init(&argc, &argv);
  if (argc == 2 && strcmp(argv[1], "--init-only") == 0) return 0;
  if (argc != 5) {
    fputs("usage: floor TITLE FILE PATTERN POS | floor --init-only\n", stderr);
    return 2;
  }

  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      argv[1], NULL, GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
      GTK_STOCK_SAVE, GTK_RESPONSE_ACCEPT, NULL);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_filename(chooser, argv[2]);
  const char *slash = strrchr(argv[2], '/');
  gtk_file_chooser_set_current_name(chooser, slash ? slash + 1 : argv[2]);
  GtkFileFilter *preselect = add_filters(chooser, argv[3], atoi(argv[4]));
  process_pending_events();
  if (preselect) gtk_file_chooser_set_filter(chooser, preselect);

  if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
    gchar *name = gtk_file_chooser_get_filename(chooser);
    if (name) fputs(name, stdout);
    g_free(name);
  }
  gtk_widget_destroy(dialog);
  return 0;
}
