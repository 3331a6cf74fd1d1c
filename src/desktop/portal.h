// The desktop portal's save dialog (org.freedesktop.portal.FileChooser): the
// desktop's own dialog, and in a sandbox the way out to the user's files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One named filter and its glob patterns, in the order shown.
struct PortalFilter {
  std::string name;
  std::vector<std::string> patterns;
};

// What the dialog shows first. Texts are UTF-8; the folder is a file name
// (bytes), absolute.
struct PortalSaveRequest {
  std::string title;
  std::string folder;
  std::string name;  // "" proposes none
  std::vector<PortalFilter> filters;
  int32_t preselect = -1;  // index into filters; out of range: none
};

enum class PortalOutcome { Accepted, Cancelled, Failed };

struct PortalSaveResult {
  PortalOutcome outcome = PortalOutcome::Failed;
  std::string path;       // Accepted: the file name (bytes)
  int32_t filter = -1;    // the filter active at the end, -1 when the portal does not say
  std::string failure;    // Failed: what happened, for the line that says so
};

// Shows the portal's save dialog and waits for its answer, running the
// default main context meanwhile. Failed when the portal refuses the request,
// leaves the bus before it answers, or does not take the request within a
// deadline; never waits on a portal that is gone. Call it on the main thread.
PortalSaveResult PortalSaveFile(const PortalSaveRequest& request);
