// Toolkit work started early, so that it overlaps the toolkit's own start-up
// instead of holding up the dialog later.
#pragma once

// Creates the main thread's default font map. The font library loads its
// configuration on a thread of its own from then on, while the toolkit starts;
// the dialog's first text would otherwise start that load and wait for it.
// The dialog then uses this same font map: nothing it shows changes. Call it
// on the thread that runs the dialog, only when a dialog will follow, once the
// locale is set for good (gtk_parse_args sets it; that thread reads it),
// after gtk_init has opened the display and before the dialog is made.
// Calling it again does nothing.
void PrefetchDialogFonts();
