// The save dialog through the desktop portal (GTK_USE_PORTAL=1): the real
// program, the real portal and its real GTK backend on a session bus of the
// test's own. The answer module runs in the backend, which shows the dialog,
// reports what it showed and answers it; the program runs without it, so that
// only the backend's dialog can be answered: a program that showed its own
// dialog instead would wait there until the run's deadline.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/build_paths.h"
#include "support/dialog_report.h"
#include "support/program.h"
#include "support/session_bus.h"

namespace {

namespace fs = std::filesystem;

// What becomes of the backend's dialog.
enum class Backend {
  Answers,  // its answer module answers it
  Killed,   // killed once the dialog shows: its request ends in a failure
  NoDialog, // the portal refuses the request: no dialog shows
  Stopped,  // stopped (SIGSTOP) once the dialog shows
  PortalStopped,  // the same, the portal instead
  Fake,     // no backend: a fake portal, on a bus of its own
};

struct PortalCase {
  const char* name;
  std::string answer;  // the backend's answer module
  std::string picked;  // STASHWICK_ANSWER_FILTER in the backend, "" none
  std::string file;    // the default file, below the documents folder
  std::string pattern;
  std::string position;
  std::string printed;  // below the documents folder; "" nothing
  // The one line on standard error, "" none. With a line the program's own
  // dialog shows, and its answer module accepts it.
  std::string said;
  int active = 0;       // the filter active when the backend's dialog showed
  Backend backend = Backend::Answers;
  std::string delayMs = "0";  // STASHWICK_ANSWER_DELAY_MS in the backend
  std::vector<std::string> fake{};  // Backend::Fake: what the fake portal does
  std::string logged{};  // a line the fake portal writes, "" none
  bool untold = false;  // where the display cannot tell (Wayland), a cancel with a line
  bool xwayland = false;  // on X11, a Wayland compositor named beside it: it cannot tell either
};

// What the backend's dialog showed of a request: filters with every pattern.
struct ShownFilter {
  std::string name;
  std::vector<std::string> patterns;
  bool operator==(const ShownFilter&) const = default;
};

std::vector<ShownFilter> ShownFilters(const DialogReport& report) {
  std::vector<ShownFilter> shown;
  for (size_t i = 0; i < report.filters.size(); ++i) shown.push_back({report.filters[i], report.patterns[i]});
  return shown;
}

// The line said before the program's own dialog shows.
std::string Instead(const std::string& what) {
  return "stashwick: " + what + ": the program's own save dialog shows instead";
}

TEST(Portal, SaveDialogShowsInTheDesktopsBackendAndPrintsItsAnswer) {
#ifndef STASHWICK_TOOLKIT_GTK3
  GTEST_SKIP() << "GTK+ 2 has no portal";
#endif
  if (!RequireDisplay()) return;
  for (const char* program : {"/usr/bin/dbus-daemon", "/usr/bin/dbus-send", "/usr/libexec/xdg-desktop-portal",
                              "/usr/libexec/xdg-desktop-portal-gtk", "/usr/lib/python3/dist-packages/dbus",
                              "/usr/lib/python3/dist-packages/gi"})
    if (access(program, X_OK) != 0)
      GTEST_SKIP() << "needs " << program
                   << " (packages dbus, xdg-desktop-portal, xdg-desktop-portal-gtk, python3-dbus, python3-gi)";
  ScratchDir scratch;
  const std::string docs = scratch / "home/docs";
  fs::create_directories(docs);
  const Environment desktop = PrivateDesktopEnv(scratch);
  SessionBusOptions options;
  options.env = desktop;
  // The portal picks the backend whose UseIn names the desktop; neither needs
  // the accessibility bus.
  options.env.emplace_back("XDG_CURRENT_DESKTOP", "GNOME");
  options.env.emplace_back("NO_AT_BRIDGE", "1");
  PrivateSessionBus bus(scratch / "session", options);
  ASSERT_TRUE(bus.running()) << bus.startError();
  // Running already, as in a desktop session.
  ASSERT_GT(bus.Started("org.freedesktop.portal.Desktop"), 0) << "the portal did not start";
  // The fake portal's bus, where the real one cannot start.
  PrivateSessionBus fakeBus(scratch / "fake-session", {desktop, {"org.freedesktop.portal.Desktop"}});
  ASSERT_TRUE(fakeBus.running()) << fakeBus.startError();

  const std::string textOrAll = "Text (*.txt)|*.txt;*.text|All (*.*)|*.*";
  const PortalCase cases[] = {
      // "*.*" goes as "*", which shows names without a dot too.
      {"accept", "accept", "", "report.txt", textOrAll, "0", "report.txt", ""},
      {"cancel", "cancel", "", "report.txt", textOrAll, "0", "", ""},
      {"preselected filter", "accept", "", "report.txt", textOrAll, "1", "report.txt", "", 1},
      // The backend keeps the name when another filter is picked; the path is
      // the one its field showed, not renamed after it as the own dialog would.
      {"picked filter", "accept", "1", "notes.txt", "Text|*.txt|Markdown|*.md", "0", "notes.txt", ""},
      // As the own dialog's: Latin-1 characters as their bytes, every other one "?".
      {"typed name", "name:caf\u00e9 \u00a4\u20ac\u6587\U0001F600.txt", "", "report.txt", textOrAll, "0",
       "caf\xE9 \xA4???.txt", ""},
      // A window closed once it has been on screen a while is a person's
      // cancel, though the portal's answer is "other", as for a failure; the
      // while outlasts pings that a healthy portal and backend answer.
      {"window closed", "close", "", "report.txt", textOrAll, "0", "", "", 0, Backend::Answers, "2200", {}, "", true},
      // A failure, and a refusal, give the program's own dialog, which its
      // answer module accepts.
      {"backend failed", "none", "", "report.txt", textOrAll, "0", "report.txt",
       Instead("the desktop portal ended the save dialog without an answer"), 0, Backend::Killed},
      // The portal takes no filter without a name (the own dialog does).
      {"request refused", "accept", "", "report.txt", "|*.txt", "0", "report.txt",
       Instead("the desktop portal refused the save dialog: invalid filter: name is empty"), 0, Backend::NoDialog},
      {"backend stopped", "none", "", "report.txt", textOrAll, "0", "report.txt",
       Instead("the desktop portal's backend org.freedesktop.impl.portal.desktop.gtk stopped answering while its "
               "save dialog was open"), 0, Backend::Stopped},
      {"portal stopped", "none", "", "report.txt", textOrAll, "0", "report.txt",
       Instead("the desktop portal org.freedesktop.portal.Desktop stopped answering while its save dialog was open"),
       0, Backend::PortalStopped},
      // A fake portal's texts, and the locations it answers with.
      {"error text", "", "", "report.txt", textOrAll, "0", "report.txt",
       Instead("the desktop portal refused the save dialog: failed\\u000a\\u001b[31mred"), 0, Backend::Fake, "0",
       {"refuse"}},
      {"version error text", "", "", "report.txt", textOrAll, "0", "report.txt",
       Instead("the desktop portal has no file chooser (org.freedesktop.portal.Error.Failed: "
               "failed\\u000a\\u001b[31mred)"), 0, Backend::Fake, "0", {"version-error"}},
      {"long location", "", "", "report.txt", textOrAll, "0", "report.txt",
       Instead("the desktop portal answered with a location that is no file: sftp://h/\\u0007" +
               std::string(290, 'x') + "..."),
       0, Backend::Fake, "0", {"answer", "sftp://h/\a" + std::string(1 << 16, 'x')}},
      {"another machine's file", "", "", "report.txt", textOrAll, "0", "report.txt",
       Instead("the desktop portal answered with a file of another machine: file://otherhost/tmp/x.txt"), 0,
       Backend::Fake, "0", {"answer", "file://otherhost/tmp/x.txt"}},
      {"other without a dialog", "", "", "report.txt", textOrAll, "0", "report.txt",
       Instead("the desktop portal ended the save dialog without an answer"), 0, Backend::Fake, "0", {"other"}, "",
       true},
      {"other beside Wayland", "", "", "report.txt", textOrAll, "0", "report.txt", "", 0, Backend::Fake, "0",
       {"other"}, "", true, true},
      {"request moved", "", "", "report.txt", textOrAll, "0", "moved.txt", "", 0, Backend::Fake, "0",
       {"moved", "file://" + docs + "/moved.txt"}},
      {"request taken late", "", "", "report.txt", textOrAll, "0", "report.txt",
       Instead("the desktop portal did not take the request"), 0, Backend::Fake, "0", {"late"},
       "closed /org/freedesktop/portal/desktop/request/"},
  };
  const std::string untoldLine =
      "stashwick: the desktop portal ended the save dialog without an answer, and this display cannot tell "
      "whether its dialog showed: taken as a cancel";
  int runs = 0;
  for (const PortalCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string report = scratch / ("report-" + std::to_string(++runs));
    const std::string log = scratch / ("backend-" + std::to_string(runs) + ".log");
    // A fresh backend for each run: the answer module answers one dialog.
    Environment steering = desktop;
    steering.insert(steering.end(), {{"NO_AT_BRIDGE", "1"},
                                     {"GTK_MODULES", TestAnswerModule},
                                     {"STASHWICK_ANSWER", c.answer},
                                     {"STASHWICK_ANSWER_REPORT", report}});
    if (!c.picked.empty()) steering.emplace_back("STASHWICK_ANSWER_FILTER", c.picked);
    steering.emplace_back("STASHWICK_ANSWER_DELAY_MS", c.delayMs);
    const bool fake = c.backend == Backend::Fake;
    const pid_t backend = fake ? fakeBus.StartFakePortal(c.fake, log) : bus.StartPortalBackend(steering, log);
    ASSERT_GT(backend, 0) << "the portal's backend did not start: " << ReadFile(log);
    const bool cancelUntold = c.untold && (!OnX11() || c.xwayland);
    const std::string printed = cancelUntold ? "" : c.printed;
    const std::string said = cancelUntold ? untoldLine : c.said;

    ProcessOptions run;
    run.args = {TestProgram, "Save report", docs + "/" + c.file, c.pattern, c.position};
    run.env = desktop;
    const Environment client = (fake ? fakeBus : bus).ClientEnv();
    run.env.insert(run.env.end(), client.begin(), client.end());
    run.env.insert(run.env.end(), {{"GTK_USE_PORTAL", "1"}, {"NO_AT_BRIDGE", "1"}});
    if (c.xwayland && OnX11()) run.env.emplace_back("WAYLAND_DISPLAY", "wayland-elsewhere");
    run.unsetEnv = {"GTK_MODULES", "STASHWICK_ANSWER", "STASHWICK_ANSWER_REPORT", "STASHWICK_ANSWER_FILTER"};
    const bool ownDialog = !said.empty();
    if (ownDialog) {
      run.env.insert(run.env.end(), {{"GTK_MODULES", TestAnswerModule}, {"STASHWICK_ANSWER", "accept"}});
    }
    const pid_t portal = bus.Owner("org.freedesktop.portal.Desktop");
    if (c.backend == Backend::Killed || c.backend == Backend::Stopped || c.backend == Backend::PortalStopped) {
      run.whileRunning = [&](pid_t) {
        // The report's last line is written once the dialog is on screen and settled.
        for (int wait = 0; wait < 500 && ReadFile(report).find("\nmapped_ms=") == std::string::npos; ++wait)
          usleep(20 * 1000);
        if (c.backend == Backend::Killed) kill(backend, SIGKILL);
        bus.Stop(c.backend == Backend::PortalStopped ? portal : backend);
      };
    }
    run.timeoutSeconds = 20;
    const ProcessResult result = RunProcess(run);
    const DialogReport shown = ReadDialogReport(report);
    ASSERT_FALSE(result.timedOut) << "no answer in 20 s: the program showed a dialog of its own, which nothing "
                                     "answers here, or the portal's never came\n"
                                  << result.err;
    EXPECT_EQ(result.exitCode, 0) << result.err;
    bus.Continue(portal);
    EXPECT_EQ(result.out, printed.empty() ? "" : docs + "/" + printed);
    if (said.empty()) {
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_EQ(OurLines(result.err), said + "\n") << result.err;
    }
    EXPECT_NE(ReadFile(log).find(c.logged), std::string::npos) << ReadFile(log);
    if (c.backend == Backend::NoDialog || fake) {
      EXPECT_FALSE(shown.present);
    } else {
      ASSERT_TRUE(shown.present) << "the backend showed no dialog: " << ReadFile(log);
      EXPECT_EQ(shown.Item("title"), "Save report");
      EXPECT_EQ(shown.Item("action"), "save");
      EXPECT_EQ(shown.Item("folder"), docs);
      EXPECT_EQ(shown.Item("name"), c.file);
      EXPECT_EQ(shown.Active(), c.active);
    }
    if (c.pattern == textOrAll && shown.present) {
      EXPECT_EQ(ShownFilters(shown), (std::vector<ShownFilter>{{"Text (*.txt)", {"*.txt", "*.text"}},
                                                               {"All (*.*)", {"*"}}}));
    }
    if (!printed.empty() && !ownDialog && !fake) {
      // The path is the one the backend's name field showed when Save was pressed.
      EXPECT_EQ(shown.Item("accepted_name"), c.answer == "accept" ? c.file : c.answer.substr(5));
    }
    // The module did not have to step in (an accept that did nothing, no filter list).
    EXPECT_EQ(ReadFile(log).find("stashwick-answer:"), std::string::npos) << ReadFile(log);
    EXPECT_TRUE((fake ? fakeBus : bus).End(backend)) << "the backend outlived SIGKILL";
  }
}

}  // namespace
