// The desktop services that the toolkit talks to over the session bus: the
// bus itself, the virtual file system daemon, the volume monitors and the
// accessibility bus. One that has hung would hold the dialog back for the
// bus's 25-second timeout, or for ever.
#pragma once

// Asks each service that this run's toolkit would use, with a short deadline,
// whether it answers. For one that does not, sets the environment variable
// that keeps the toolkit away from it (for this process only) and says on
// standard error what is left out. With no session bus address at all, only
// keeps the toolkit (its accessibility bridge; GTK 3's settings too) from
// starting a bus of its own; for GTK 3 an address where nothing listens
// counts as none. GTK 3's settings stay in memory where dconf cannot work (a
// silent bus, a runtime folder it cannot use). Healthy services change
// nothing. Without a dialog to follow, asks nothing and only keeps a bus from
// being started. Call it on the main thread before gtk_init; it starts no
// thread.
void KeepHungDesktopServicesAway(bool dialogFollows);
