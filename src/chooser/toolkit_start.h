// The toolkit's one-time start-up: the leading run of its options, the "--"
// that ends them, a refusal, and the display.
#pragma once

#include <string>

// What the toolkit's start-up made of the leading options.
struct ToolkitStart {
  bool optionsEnded = false;  // a "--" ended them and was removed: all that follows is positional
  std::string refused;        // the leading options, blank-separated, when the toolkit refused
                              // them and opened no display; "" when it took them all
  std::string reason;         // the toolkit's word on the refusal, "" when it said none
};

// Starts the toolkit once per process with &QV_ArgC and &QV_ArgV; later calls
// return the first call's result. The toolkit reads and removes its own
// options (--display, --sync, --gtk-module...) from the leading run of them
// only; the first other argument and everything after it stay, whatever they
// look like. A "--" right after that run is removed. When the toolkit refuses
// the run, it is left in the vector, reported, and no display is opened.
// Ends the process when no display opens.
const ToolkitStart& ToolkitInit();
