// The desktop portal's save dialog (org.freedesktop.portal.FileChooser): the
// desktop's own dialog, and in a sandbox the way out to the user's files.
#pragma once

#include <cstdint>
#include <functional>
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
  // Whether a window of the process pid (0: of any other process than this
  // one) has been mapped on the display since the call began: 1 yes, 0 no,
  // -1 when the display cannot tell. Unset: it cannot.
  std::function<int(uint32_t pid)> windowShown;
  std::string parentWindow;  // the caller's window ("x11:<hex id>"); "" for none
};

enum class PortalOutcome { Accepted, Cancelled, Failed };

struct PortalSaveResult {
  PortalOutcome outcome = PortalOutcome::Failed;
  std::string path;       // Accepted: the file name (bytes)
  int32_t filter = -1;    // the filter active at the end, -1 when the portal does not say
  std::string failure;    // Failed: what happened, for the line that says so
  std::string note;       // Cancelled: "" or what makes it a guess, for a line
};

// Shows the portal's save dialog and waits for its answer, running the
// default main context meanwhile. Failed when the portal refuses the request,
// leaves the bus before it answers, does not take the request within a
// deadline, or it or its backend stops answering while the dialog is open (the
// request is closed then); never waits on a portal that is gone. Failed too
// for a file of another machine, and for an answer "other" where no window of
// the portal's or its backend's showed. Texts that the portal sent are cut to
// a few hundred bytes in failure. Call it on the main thread.
PortalSaveResult PortalSaveFile(const PortalSaveRequest& request);
