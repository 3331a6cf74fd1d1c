// Driving the chooser dialog from inside the test process: the toolkit starts
// with a private desktop, and a timeout answers the dialog while a dialog entry
// runs it modally. Every wait has a deadline; a dialog left open is cancelled.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

#include "support/process.h"

// Points HOME and the XDG folders of this process into dir, then starts the
// toolkit through ToolkitInit with a one-entry argument vector.
void StartToolkitPrivately(const ScratchDir& dir);

// Warnings and criticals that GLib and the toolkit logged since the start
// (each also printed to standard error). RunAnswered expects none.
int ToolkitComplaints();

// Runs entry (a call of a dialog entry) while answer receives the mapped
// chooser dialog once, from inside the modal loop. answer is expected to close
// it; a dialog still open after deadlineSeconds is cancelled and the test fails.
std::string RunAnswered(const std::function<std::string()>& entry,
                        const std::function<void(GtkWidget* dialog)>& answer, double deadlineSeconds = 60);

// Runs toolkit events until done() holds or the deadline passes; done()'s value.
bool PumpUntil(const std::function<bool()>& done, double deadlineSeconds = 30);

// The chooser dialog that is on screen, or null.
GtkWidget* FindMappedChooserDialog();

// Current folder of the chooser in UTF-8, "" while it has none.
std::string CurrentFolder(GtkWidget* dialog);

// The save-mode name entry (a GtkFileChooserEntry), or null.
GtkWidget* NameEntry(GtkWidget* dialog);
std::string NameEntryText(GtkWidget* dialog);

// The selected paths, in the toolkit's order.
std::vector<std::string> SelectedPaths(GtkWidget* dialog);

struct ActionButton {
  GtkWidget* widget;
  std::string label;  // the stock id for a stock button
  bool useStock;
  int response;
  bool isDefault;
};
// The dialog's response buttons (in its action area, or in GTK 3's header
// bar), in the order they were added.
std::vector<ActionButton> ActionButtons(GtkWidget* dialog);

// Clicks the button that answers with response; false if none does.
bool ClickResponseButton(GtkWidget* dialog, int response);

// Closes the dialog as a window manager does: a delete event through the queue.
void SendDeleteEvent(GtkWidget* dialog);

// The chooser's filters in order, its active one, and what a filter holds.
std::vector<GtkFileFilter*> ChooserFilters(GtkWidget* dialog);
GtkFileFilter* ActiveFilter(GtkWidget* dialog);
// The "qv_index" attached to filter (-1 for null).
long FilterIndex(GtkFileFilter* filter);
std::string FilterName(GtkFileFilter* filter);
// Whether filter admits a file of that UTF-8 name (display name and file name).
bool FilterMatches(GtkFileFilter* filter, const std::string& name);

// Selects the files at paths in the dialog's file list as a user does with
// Ctrl held: each is added to the selection (in single-selection mode each
// replaces the last). The folder must be the current one. False when a file
// does not show up in the list before the deadline.
bool SelectInFileList(GtkWidget* dialog, const std::vector<std::string>& paths);
