// The desktop services that the toolkit talks to over the session bus: the
// bus itself, the virtual file system daemon, the volume monitors, the
// accessibility bus and the desktop portal. One that has hung would hold the
// dialog back for the bus's 25-second timeout, or for ever. This layer knows
// no toolkit: the chooser tells it what its toolkit does.
#pragma once

// What the dialog's toolkit reaches on its own.
struct DesktopToolkit {
  bool bridgeBuiltIn = false;    // starts the accessibility bridge without GTK_MODULES naming it
  bool autolaunchesBus = false;  // without a session bus, would start one that outlives the program
  bool readsDconf = false;       // keeps its settings in dconf
  bool portalFileChooser = false;  // can show the save dialog through the desktop portal
};

// Asks each service that this run's toolkit would use, with a short deadline,
// whether it answers. For one that does not, sets the environment variable
// that keeps the toolkit away from it (for this process only) and says on
// standard error what is left out. With no session bus address at all, only
// keeps the toolkit (its accessibility bridge; GTK 3's settings too) from
// starting a bus of its own; for GTK 3 an address where nothing listens
// counts as none. GTK 3's settings stay in memory where dconf cannot work (a
// silent bus, a runtime folder it cannot use). Where the save dialog would go
// through the portal, the portal and its backends are asked too: see
// PortalSaveDialogChosen. Healthy services change nothing. Without a dialog
// to follow, asks nothing and only keeps a bus from being started. Call it on
// the main thread before the toolkit starts; it starts no thread.
void KeepHungDesktopServicesAway(bool dialogFollows, const DesktopToolkit& toolkit);

// Whether the last check found the desktop portal and its backends answering,
// where the toolkit would show the save dialog through the portal: the save
// dialog then goes there. False where it would not, and where the check left
// the portal out (said on standard error; GTK_USE_PORTAL is then unset).
bool PortalSaveDialogChosen();
