// The checks of the desktop services, one file per group of the services'
// table in desktop_services.cpp, which runs them. Each says on standard error
// what it leaves out and keeps the toolkit away from a silent service through
// the environment of this process. Nothing here is for the layers above.
#pragma once

#include <gio/gio.h>

#include <string>
#include <vector>

#include "desktop/bus_link.h"
#include "desktop/desktop_services.h"

// One line on standard error: "stashwick: <line>".
void SayServiceLine(const std::string& line);

// Sets an environment variable for this process, over any value it had.
void KeepEnvironment(const char* name, const char* value);

// Whether a reply came to serial: the service's own, or the bus's word that
// nobody owns the name. Either way the toolkit will not wait there.
bool ServiceAnswered(const BusLink& link, guint32 serial);

// Whether reply is an error.
bool IsErrorReply(GDBusMessage* reply);

// The file system: gvfs's daemon, the mounts it runs, the volume monitors.
struct FileSystemCalls {
  guint32 daemon = 0;
  guint32 mounts = 0;
  std::vector<guint32> monitors;
};
// Sends the file system's calls; appends their serials to calls.
FileSystemCalls AskFileSystem(BusLink& session, std::vector<guint32>& calls);
// Once asked calls have their replies or the deadline passed.
void CheckFileSystem(BusLink& session, const FileSystemCalls& asked);

// The accessibility bridge: whether the toolkit loads it, and its buses.
bool BridgeRequested(const DesktopToolkit& toolkit);
// Asks the accessibility bus launcher for the bus's address; its serial.
guint32 AskAccessibility(BusLink& session);
void CheckAccessibility(BusLink& session, guint32 addressCall);

// The desktop portal: whether the save dialog would go there, and whether it
// and its backends answer.
bool PortalWanted(const DesktopToolkit& toolkit);
// The program's own dialog shows instead of the portal's, with one line that
// begins with what.
void LeavePortalOut(const std::string& what);
struct PortalCalls {
  guint32 owner = 0;
  guint32 names = 0;
};
// Asks the bus whether the portal runs, and which backends; appends their
// serials to calls.
PortalCalls AskPortal(BusLink& session, std::vector<guint32>& calls);
// True when the portal and its backends answered: the dialog goes there.
bool CheckPortal(BusLink& session, const PortalCalls& asked);

// The input method ibus, on its own bus.
void CheckInputMethod();
