// Running the real program from a test: the X display it needs, and a run
// that the answer module answers.
#pragma once

#include <string>
#include <vector>

#include "support/build_paths.h"
#include "support/process.h"

// The display of the tests (X; on GTK 3 a Wayland one where there is no X
// display), or null when there is none.
const char* Display();

// Whether the tests have an X display. Without one, the running test is
// skipped with that reason, so that a build without a display passes; where
// STASHWICK_REQUIRE_DISPLAY is set (tools/test, debian/rules: they start one)
// it fails instead. The caller returns at once when it is false; from SetUp,
// a skip or failure keeps the test body from running.
bool RequireDisplay();

// Whether the programs the tests start show their windows on X (DISPLAY is
// set) rather than on Wayland, where X's window properties do not exist.
bool OnX11();

// The X server resets whenever its last client leaves and drops a client that
// connects meanwhile; a connection of this process keeps it from resetting
// between the programs a test starts (and the helpers that look for windows).
// Another test's last client may just have left: tries again for a while.
bool HoldDisplay();

// A run of program with arguments, a private desktop and the answer module,
// which answers any dialog with answer (accept, cancel, close, none, name:...).
ProcessOptions AnsweredRun(const ScratchDir& scratch, const std::vector<std::string>& arguments,
                           const std::string& answer, const std::string& program = TestProgram);

// The program's own lines ("stashwick: ...") among standard error's, each
// with its line end.
std::string OurLines(const std::string& err);
