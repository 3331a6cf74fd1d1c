// The real program's dialog, seen from outside: the answer module reports what
// the dialog showed (title, folder, proposed name, filters, active filter) and
// answers it, and the test checks both the report and the printed path.
#include <glib.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/text.h"
#include "support/build_paths.h"
#include "support/dialog_report.h"
#include "support/program.h"
#include "support/text_bytes.h"

namespace {

namespace fs = std::filesystem;

// The longest single argument that execve accepts (MAX_ARG_STRLEN less the NUL).
constexpr size_t LongestArgument = 32 * 4096 - 1;

struct DialogRun {
  ProcessResult process;
  DialogReport report;
};

std::string BytesFrom(unsigned first, unsigned last) {
  std::string bytes;
  for (unsigned b = first; b <= last; ++b) bytes += static_cast<char>(b);
  return bytes;
}

// "0||1||2||..." : count filters named by their index, each with one empty pattern.
std::string NumberedFilters(int count) {
  std::string pattern;
  for (int i = 0; i < count; ++i) pattern += std::to_string(i) + "||";
  return pattern;
}

class DialogBinary : public ::testing::Test {
 protected:
  void SetUp() override { RequireDisplay(); }

  // Runs the program in the scratch folder with a private desktop; the module
  // reports the dialog and then answers it.
  DialogRun Run(const std::vector<std::string>& arguments, const std::string& answer,
                double timeoutSeconds = 60, bool folderSettles = true) {
    const std::string reportPath = scratch_ / ("report-" + std::to_string(++runs_));
    std::vector<std::string> command = {"-C", workingFolder_.empty() ? scratch_.path() : workingFolder_,
                                        TestProgram};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ProcessOptions options = AnsweredRun(scratch_, command, answer, "/usr/bin/env");
    options.env.emplace_back("STASHWICK_ANSWER_REPORT", reportPath);
    options.timeoutSeconds = timeoutSeconds;
    // A folder that never settles is not waited for: the answer comes at once.
    if (!folderSettles) options.env.emplace_back("STASHWICK_ANSWER_FOLDER_WAIT_MS", "0");
    if (!pickedFilter_.empty()) options.env.emplace_back("STASHWICK_ANSWER_FILTER", pickedFilter_);
    if (!clickedRow_.empty()) options.env.emplace_back("STASHWICK_ANSWER_CLICK", clickedRow_);
    DialogRun run{RunProcess(options), ReadDialogReport(reportPath)};
    EXPECT_FALSE(run.process.timedOut);
    EXPECT_EQ(run.process.signal, 0);
    EXPECT_EQ(run.process.exitCode, 0) << run.process.err;
    EXPECT_TRUE(run.report.present) << "the dialog never showed: " << run.process.err;
    // The module had to step in: a message dialog, or an accept that did nothing.
    EXPECT_EQ(run.process.err.find("stashwick-answer:"), std::string::npos) << run.process.err;
    if (folderSettles) {
      EXPECT_EQ(run.report.Item("folder_wait"), "0") << "the folder never settled";
    }
    return run;
  }

  ScratchDir scratch_;
  std::string workingFolder_;  // where the program runs; "" for the scratch folder
  std::string pickedFilter_;   // index of the filter the user picks before accepting; "" for none
  std::string clickedRow_;     // file list row the user clicks first; "" for none
  int runs_ = 0;
};

TEST_F(DialogBinary, DialogShowsWhatTheArgumentsSayAndPrintsTheAcceptedPath) {
  const std::string dir = scratch_.path();
  fs::create_directories(scratch_ / "sub");
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string title;  // UTF-8
    std::string folder;
    std::string proposed;
    std::vector<std::string> filters;
    int active;
    std::string printed;
  };
  const Case cases[] = {
      {"worked example", {"Save as", dir + "/Default.txt", "All Files (*.*)|*.*"}, "Save as", dir,
       "Default.txt", {"All Files (*.*)"}, 0, dir + "/Default.txt"},
      {"two filters, second preselected",
       {"Save As", dir + "/notes.txt", "Text (*.txt)|*.txt|All files (*.*)|*.*", "1"}, "Save As",
       dir, "notes.txt", {"Text (*.txt)", "All files (*.*)"}, 1, dir + "/notes.txt"},
      {"-H is a title", {"-H"}, "-H", dir, "", {}, -1, ""},
      {"relative default file", {"Relative", "Default.txt"}, "Relative", dir, "Default.txt", {}, -1,
       dir + "/Default.txt"},
      {"default folder only", {"Folder", dir + "/sub/"}, "Folder", dir + "/sub", "", {}, -1, ""},
      {"folder that does not exist", {"Missing", dir + "/no/such/place/file.txt"}, "Missing", dir,
       "file.txt", {}, -1, dir + "/file.txt"},
      {"8-bit file name", {"Name", dir + "/r\xE9sum\xE9.txt"}, "Name", dir, "r\xC3\xA9sum\xC3\xA9.txt",
       {}, -1, dir + "/r\xE9sum\xE9.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Saving with no name does nothing: such a dialog is closed instead.
    const DialogRun run = Run(c.arguments, c.printed.empty() ? "close" : "accept");
    EXPECT_EQ(run.report.Item("title"), c.title);
    if (OnX11()) {
      EXPECT_EQ(run.report.Item("net_wm_name"), c.title);
    }
    EXPECT_EQ(run.report.Item("action"), "save");
    EXPECT_EQ(run.report.Item("multiple"), "0");
    EXPECT_EQ(run.report.Item("folder"), c.folder);
    EXPECT_EQ(run.report.Item("name"), c.proposed);
    EXPECT_EQ(run.report.filters, c.filters);
    EXPECT_EQ(run.report.Active(), c.active);
    EXPECT_EQ(run.process.out, c.printed);
  }
}

TEST_F(DialogBinary, PositionArgumentPreselectsByItsLow32Bits) {
  struct Case {
    const char* position;
    int active;
  };
  // With no explicit choice the first filter added stays active.
  // Positions with no filter there are the in-process dialog tests' part.
  const Case cases[] = {{"x", 0},           {"1", 1},           {"4294967297", 1},
                        {"4294967296", 0},  {"-4294967295", 1}, {"18446744073709551617", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("position \"") + c.position + "\"");
    const DialogRun run =
        Run({"Pick", scratch_ / "p.txt", "First|*.a|Second|*.b", c.position}, "cancel");
    EXPECT_EQ(run.report.filters, (std::vector<std::string>{"First", "Second"}));
    EXPECT_EQ(run.report.Active(), c.active);
    EXPECT_EQ(run.process.out, "");
  }
}

TEST_F(DialogBinary, TypedNameComesBackAsEightBitText) {
  struct Case {
    const char* typed;  // UTF-8, as a user types it
    std::string printed;
  };
  const Case cases[] = {
      {"caf\u00e9.txt", "caf\xE9.txt"},
      {"\u00ff\u00a4\u00a0.txt", "\xFF\xA4\xA0.txt"},
      {"\u20ac.txt", "?.txt"},
      {"\u0160\u0178.txt", "??.txt"},
      {"\u6587\u4ef6.txt", "??.txt"},
      {"\U0001F600.txt", "?.txt"},
      {"plain.txt", "plain.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    const DialogRun run = Run({"Type", scratch_ / "proposed.txt"}, std::string("name:") + c.typed);
    EXPECT_EQ(run.report.Item("name"), "proposed.txt");
    EXPECT_EQ(run.process.out, scratch_ / c.printed);
  }
}

TEST_F(DialogBinary, PickedFilterCarriesItsExtensionIntoTheName) {
  fs::create_directories(scratch_ / "sub");
  fs::create_directories(scratch_ / "archive.txt");
  WriteFile(scratch_ / "notes.txt", "");
  struct Case {
    const char* name;
    std::string position;
    std::string picked;  // "": no pick
    std::string answer;
    std::string printed;
    std::string clicked = "";  // the file list row clicked first
    std::string patterns = "Text|*.txt|Markdown|*.md";
  };
  const Case cases[] = {
      {"proposed name", "0", "1", "accept", "notes.md"},
      {"typed name, kept before the suffix", "0", "1", "name:r\u00e9sum\u00e9 v2.txt", "r\xE9sum\xE9 v2.md"},
      {"typed name with a folder part", "0", "1", "name:sub/x.txt", "sub/x.txt"},
      {"preselection alone", "1", "", "accept", "notes.txt"},
      // The clicked file stays listed and selected: the picked filter admits
      // its name ("*" admits every name), and the name stays.
      {"file row clicked, the picked filter admits it", "0", "1", "accept", "notes.txt", "notes.txt",
       "Text|*.txt|Markdown or any|*.md;*"},
      // Save takes the field's name, not the folder the list still selects.
      {"folder row clicked", "0", "1", "accept", "notes.md", "archive.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pickedFilter_ = c.picked;
    clickedRow_ = c.clicked;
    const DialogRun run = Run({"Save", scratch_ / "notes.txt", c.patterns, c.position}, c.answer);
    EXPECT_EQ(run.report.Item("name"), "notes.txt");
    EXPECT_EQ(run.process.out, scratch_ / c.printed);
    // The path is the one the name field showed when Save was pressed.
    EXPECT_EQ(Latin9ToUtf8(run.process.out), scratch_ / run.report.Item("accepted_name"));
  }
}

TEST_F(DialogBinary, AnswerModuleThatIsToldNothingPressesNothing) {
  // Loaded into a program with no STASHWICK_ANSWER, the module leaves its
  // dialogs to the user: this one is still open when the run is ended.
  ProcessOptions options = AnsweredRun(scratch_, {"Untold", scratch_ / "untold.txt"}, "");
  std::erase_if(options.env, [](const auto& variable) { return variable.first == "STASHWICK_ANSWER"; });
  options.unsetEnv = {"STASHWICK_ANSWER"};
  options.timeoutSeconds = 3;
  const ProcessResult result = RunProcess(options);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.out, "");
}

TEST_F(DialogBinary, ToolkitOptionsCountOnlyBeforeTheFirstPositionalArgument) {
  const std::string option = std::string("--gtk-module=") + TestMarkerModule;
  const std::string marker = scratch_ / "home/stashwick-marker";
  // Placed first, the option loads the module, which leaves its marker...
  Run({option, "T", "", "A|*.a|B|*.b", "1"}, "close");
  ASSERT_TRUE(fs::exists(marker));
  fs::remove(marker);
  // ...as the default file it is a relative file name, and nothing shifts.
  const DialogRun run = Run({"T", option, "A|*.a|B|*.b", "1"}, "accept");
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(run.report.Item("title"), "T");
  EXPECT_EQ(run.report.filters, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(run.report.Active(), 1);
  EXPECT_EQ(run.process.out, scratch_ / fs::path(TestMarkerModule).filename().string());
  // After a "--" that ends the options, the title is the title, whatever it reads.
  EXPECT_EQ(Run({"--", "-h", "", "A|*.a", "0"}, "close").report.Item("title"), "-h");
}

TEST_F(DialogBinary, FolderNameThatIsNoUtf8ComesBackMarkedNotAsAnotherPath) {
  // C0 AE is an overlong ".": decoded, the folder would print as "..".
  const std::string folder = scratch_ / "\xC0\xAE\xC0\xAE";
  fs::create_directory(folder);
  workingFolder_ = folder;
  const DialogRun run = Run({"Save", ""}, "name:x.txt");
  EXPECT_EQ(run.process.out, scratch_ / (std::string(4, '?') + "/x.txt"));
}

TEST_F(DialogBinary, EveryByteFromOneUpInEachArgument) {
  const std::string all = BytesFrom(0x01, 0xFF);
  const std::string dir = scratch_.path();
  // As default file: the part before the last "/" is a folder that does not
  // exist below the working folder, so the dialog opens on the working folder.
  // The name after it comes in two halves, each under the 255 bytes of UTF-8
  // that GTK 3 allows a name: it refuses to save a longer one.
  const std::string beforeSlash = BytesFrom(0x01, 0x2F);
  const std::string lowHalf = BytesFrom(0x30, 0x9F), highHalf = BytesFrom(0xA0, 0xFF);
  // As pattern: the name runs up to "|" (7C), ";" (3B) staying in it.
  const std::string filterName = BytesFrom(0x01, 0x7B);
  const int64_t parsed = ParseInteger(all.c_str());
  const int32_t low = static_cast<int32_t>(static_cast<uint32_t>(parsed));
  const int positionActive = low == 0 || low == 1 ? low : 0;

  struct Case {
    const char* argument;
    std::vector<std::string> arguments;
    std::string title;
    std::string proposed;
    std::vector<std::string> filters;
    int active;
    std::string printed;
  };
  const Case cases[] = {
      {"title", {all, dir + "/t.txt", "All|*", "0"}, Latin9ToUtf8(all), "t.txt", {"All"}, 0,
       dir + "/t.txt"},
      {"default file, low half", {"Bytes", beforeSlash + lowHalf, "All|*", "0"}, "Bytes",
       Latin9ToUtf8(lowHalf), {"All"}, 0, dir + "/" + AfterRoundTrip(lowHalf)},
      {"default file, high half", {"Bytes", beforeSlash + highHalf, "All|*", "0"}, "Bytes",
       Latin9ToUtf8(highHalf), {"All"}, 0, dir + "/" + AfterRoundTrip(highHalf)},
      {"pattern", {"Bytes", dir + "/p.txt", all, "0"}, "Bytes", "p.txt", {Latin9ToUtf8(filterName)}, 0,
       dir + "/p.txt"},
      {"position", {"Bytes", dir + "/q.txt", "A|*|B|*", all}, "Bytes", "q.txt", {"A", "B"},
       positionActive, dir + "/q.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    const DialogRun run = Run(c.arguments, "accept");
    EXPECT_EQ(run.report.Item("title"), c.title);
    if (OnX11()) {
      EXPECT_EQ(run.report.Item("net_wm_name"), c.title);
    }
    EXPECT_EQ(run.report.Item("folder"), dir);
    EXPECT_EQ(run.report.Item("name"), c.proposed);
    EXPECT_EQ(run.report.filters, c.filters);
    EXPECT_EQ(run.report.Active(), c.active);
    EXPECT_EQ(run.process.out, c.printed);
    EXPECT_EQ(run.process.err, "");
  }
}

TEST_F(DialogBinary, LongestArgumentsOpenTheDialogAndEndCleanly) {
  const std::string dir = scratch_.path();
  const std::string longTitle(LongestArgument, '\xE9');
  // Nested folders that do not exist, far beyond PATH_MAX.
  std::string deepFile = dir;
  while (deepFile.size() + 2 + 6 <= LongestArgument) deepFile += "/d";
  deepFile += "/f.txt";
  std::string manyPatterns = "Many|";
  while (manyPatterns.size() + 4 < LongestArgument) manyPatterns += "*.a;";
  const std::string longNumber(LongestArgument, '9');

  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string title;
    size_t filterCount;
    bool folderSettles;
  };
  const Case cases[] = {
      // A Wayland request carries 4083 bytes of it: the whole characters in them.
      {"title", {longTitle, dir + "/a.txt"},
       OnX11() ? Latin9ToUtf8(longTitle) : Latin9ToUtf8(longTitle).substr(0, 4082), 0, true},
      // The toolkit walks up a path beyond PATH_MAX one folder at a time, for
      // many seconds, and then reports that it could not show the folder: the
      // cancel comes long before that.
      {"default file", {"Deep", deepFile}, "Deep", 0, false},
      {"one filter, many patterns", {"Patterns", dir + "/a.txt", manyPatterns}, "Patterns", 1, true},
      {"position", {"Number", dir + "/a.txt", "A|*|B|*", longNumber}, "Number", 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const DialogRun run = Run(c.arguments, "cancel", 120, c.folderSettles);
    EXPECT_EQ(run.report.Item("title"), c.title);
    EXPECT_EQ(run.report.filters.size(), c.filterCount);
    EXPECT_EQ(run.process.out, "");
  }
}

TEST_F(DialogBinary, ThousandsOfFiltersAreAllListedInOrder) {
  // The toolkit's cost grows with the square of the filter count; 2,000 keeps
  // this test to seconds while far beyond any real pattern.
  const int count = 2000;
  for (const int position : {count - 1, count}) {
    SCOPED_TRACE(position);
    const DialogRun run = Run({"Many", scratch_ / "m.txt", NumberedFilters(count),
                               std::to_string(position)},
                              "accept", 120);
    ASSERT_EQ(run.report.filters.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      if (run.report.filters[i] != std::to_string(i)) {
        ADD_FAILURE() << "filter " << i << " is named " << run.report.filters[i];
        break;
      }
    }
    EXPECT_EQ(run.report.Active(), position < count ? position : 0);
    EXPECT_EQ(run.process.out, scratch_ / "m.txt");
  }
}

// A user whose home folder does not exist ("nobody": HOME unset, /nonexistent
// in the password file): the toolkit's error box about that folder comes on
// top of the save dialog, not before it, and the dialog then works.
TEST_F(DialogBinary, MissingHomeShowsTheDialogBeforeTheErrorBox) {
  const passwd* nobody = getpwnam("nobody");
  if (getuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 || !nobody)
    GTEST_SKIP() << "needs root, setpriv and the user nobody";
  if (g_file_test(nobody->pw_dir, G_FILE_TEST_EXISTS)) GTEST_SKIP() << "nobody's home exists here";
  if (!OnX11()) GTEST_SKIP() << "nobody cannot reach the test user's Wayland socket";
  ScratchDir shared;
  fs::permissions(shared.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec |
                                     fs::perms::group_read | fs::perms::group_exec);
  ProcessOptions run = AnsweredRun(shared, {"Save report", shared / "report.txt", "", "0"}, "accept");
  run.args.insert(run.args.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  run.env = {{"GTK_MODULES", TestAnswerModule}, {"STASHWICK_ANSWER", "accept"}};
  run.unsetEnv = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                  "DBUS_SESSION_BUS_ADDRESS"};
  // The display's key, where nobody can read it.
  if (const char* key = std::getenv("XAUTHORITY")) {
    const std::string copy = shared / "Xauthority";
    WriteFile(copy, ReadFile(key));
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    run.env.emplace_back("XAUTHORITY", copy);
  }
  const ProcessResult result = RunProcess(run);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, shared / "report.txt");
  // GTK 3 raises no box for the missing home: the dialog is all there is.
#ifndef STASHWICK_TOOLKIT_GTK3
  EXPECT_NE(result.err.find("stashwick-answer: message: "), std::string::npos) << result.err;
#endif
  EXPECT_EQ(result.err.find("the message came before the dialog was on screen"), std::string::npos) << result.err;
}

}  // namespace
