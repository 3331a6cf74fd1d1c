// The help and version screens of the real program, byte for byte, under its
// own name, as a renamed copy and through a symbolic link.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <string>
#include <vector>

#include "support/build_paths.h"
#include "support/program.h"

namespace {

std::string HelpScreen(const std::string& name) {
  return "\n"
         "Stashwick - Open a dialog to save a file..\n"
         "\n"
         "Call:  " + name + " [-h|-v] <title> <default file> <pattern> <pos>\n"
         "\n"
         "Options:\n"
         "          -h        Print this message\n"
         "          -v        Print version number\n"
         "\n"
         "Examples: " + name + " \"Save as\" Default.txt \"All Files (*.*)|*.*\"\n"
         "          " + name + " \"Save As\" \"\" \"Script (*.js;*.vbs)|*.js;*.vbs\"\n"
         "          " + name + " \"Save As\" \"\" \"*.* (*.*)|*.*|BAT (*.bat)|*.bat\" 1\n"
         "\n"
         "by the Stashwick developers\n"
         "https://stashwick.invalid/\n";
}

const std::string kVersionScreen =
    "\n"
    "Stashwick v1.0\n"
    "\n"
    "Last updated: 2014-10-04\n"
    "Available at: https://stashwick.invalid/\n";

struct Invocation {
  std::string label;
  std::string path;   // what is started
  std::string shown;  // the name the help screen must show
};

// The real binary, a renamed copy, and a link with another name to that copy,
// which shows the name of its target.
std::vector<Invocation> Invocations(const ScratchDir& scratch) {
  namespace fs = std::filesystem;
  const std::string binary = TestProgram;
  fs::copy_file(binary, scratch / "renamed-tool");
  fs::create_symlink(scratch / "renamed-tool", scratch / "alias");
  return {
      {"own name", binary, fs::path(binary).filename().string()},
      {"renamed copy", scratch / "renamed-tool", "renamed-tool"},
      {"link to a renamed copy", scratch / "alias", "renamed-tool"},
  };
}

struct ScreenCase {
  std::vector<std::string> args;
  bool help;
};

TEST(Screens, PrintExactBytesUnderEveryName) {
  if (!RequireDisplay()) return;  // the program needs one even for its screens
  ASSERT_TRUE(HoldDisplay());
  ScratchDir scratch;
  const auto env = PrivateDesktopEnv(scratch);
  // What follows -h or -v is never read.
  const ScreenCase screens[] = {
      {{}, true},
      {{"-h", "-v", "Title", "x", "*.*", "1"}, true},
      {{"-v", "-h"}, false},
  };
  for (const Invocation& invocation : Invocations(scratch)) {
    for (const ScreenCase& screen : screens) {
      std::string label = invocation.label + ":";
      for (const auto& a : screen.args) label += " " + a;
      SCOPED_TRACE(label);
      ProcessOptions options;
      options.args = {invocation.path};
      options.args.insert(options.args.end(), screen.args.begin(), screen.args.end());
      options.env = env;
      const ProcessResult result = RunProcess(options);
      ASSERT_FALSE(result.timedOut);
      EXPECT_EQ(result.out, screen.help ? HelpScreen(invocation.shown) : kVersionScreen);
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.exitCode, 0);
    }
  }
}

}  // namespace
