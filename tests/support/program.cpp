#include "support/program.h"

#include <gdk/gdk.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "support/build_paths.h"

namespace {

// The variable's value, or null when it is unset or empty.
const char* Variable(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

}  // namespace

const char* Display() {
  const char* display = Variable("DISPLAY");
#ifdef STASHWICK_TOOLKIT_GTK3
  // GTK 3 takes a Wayland display where there is no X one.
  if (!display) display = Variable("WAYLAND_DISPLAY");
#endif
  return display;
}

bool RequireDisplay() {
  if (Display() != nullptr) return true;
  const char* required = std::getenv("STASHWICK_REQUIRE_DISPLAY");
  if (required != nullptr && *required != '\0')
    [] { FAIL() << "no display (DISPLAY is unset), and STASHWICK_REQUIRE_DISPLAY says there is one"; }();
  else
    [] { GTEST_SKIP() << "needs a display (DISPLAY is unset; run under xvfb-run)"; }();
  return false;
}

bool OnX11() { return Variable("DISPLAY") != nullptr; }

bool HoldDisplay() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (gdk_init_check(nullptr, nullptr)) return true;
    usleep(100 * 1000);
  }
  return false;
}

ProcessOptions AnsweredRun(const ScratchDir& scratch, const std::vector<std::string>& arguments,
                           const std::string& answer, const std::string& program) {
  ProcessOptions options;
  options.args = {program};
  options.args.insert(options.args.end(), arguments.begin(), arguments.end());
  options.env = PrivateDesktopEnv(scratch);
  options.env.emplace_back("GTK_MODULES", TestAnswerModule);
  options.env.emplace_back("STASHWICK_ANSWER", answer);
  options.timeoutSeconds = 60;
  return options;
}

std::string OurLines(const std::string& err) {
  std::string ours;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("stashwick: ", 0) == 0) ours += line + "\n";
  return ours;
}
