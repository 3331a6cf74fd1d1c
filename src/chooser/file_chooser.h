// The file chooser service: the toolkit's start-up and the GTK+ 2 save/open
// dialog with the program's filter pattern syntax.
#pragma once

#include <cstdint>
#include <string>

// Flag bit of OpenFileChooser: several files may be selected.
constexpr int32_t AllowMultiple = 1;

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

// Runs a modal save dialog; the confirmed path as program text, "" on cancel.
std::string SaveFileChooser(const char* title, const char* defaultFile, const char* pattern,
                            int32_t position);

// Runs a modal open dialog (flags: AllowMultiple); the first chosen path or "".
std::string OpenFileChooser(const char* title, const char* defaultFile, const char* pattern,
                            int32_t position);
std::string OpenFileChooser(const char* title, const char* defaultFile, const char* pattern,
                            int32_t position, int32_t flags);

// The next path of the last accepted dialog, or "" once all were handed out.
std::string NextChosenPath();

// Index of the filter that was active when the last dialog closed; 0 before.
int64_t ChosenFilterIndex();
