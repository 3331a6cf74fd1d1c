#include "chooser/toolkit_start.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "chooser/startup_prefetch.h"
#include "chooser/toolkit_compat.h"
#include "desktop/desktop_services.h"
#include "runtime/arguments.h"

namespace {

int ToolkitReady = 0;

ToolkitStart StartResult;

// Whether entry is option, alone or followed by "=" and a value.
bool IsOption(const char* entry, const char* option) {
  const size_t length = std::strlen(option);
  return std::strncmp(entry, option, length) == 0 && (entry[length] == '\0' || entry[length] == '=');
}

// Vector entries after entry 0 that are toolkit options with their values, up
// to the first entry that is none. An option whose value is missing ends the run.
int32_t LeadingToolkitOptions(int32_t count, char** vector) {
  int32_t at = 1;
  while (at < count) {
    const char* entry = vector[at];
    int32_t step = 0;
    // The toolkit takes a flag with any value ("--sync=0" too) as the flag.
    for (const char* option : ToolkitFlagOptions)
      if (IsOption(entry, option)) step = 1;
    for (const char* option : ToolkitValueOptions)
      if (IsOption(entry, option)) step = std::strchr(entry, '=') ? 1 : 2;
    if (step == 0) break;
    at += step;
  }
  return std::min(at, count) - 1;
}

}  // namespace

const ToolkitStart& ToolkitInit() {
  if (ToolkitReady) return StartResult;
  ToolkitReady = 1;
  const int32_t runEnd = QV_ArgC > 1 ? 1 + LeadingToolkitOptions(QV_ArgC, QV_ArgV) : QV_ArgC;
  if (runEnd < QV_ArgC && std::strcmp(QV_ArgV[runEnd], "--") == 0) {
    // With the null entry that ends the vector.
    std::copy(QV_ArgV + runEnd + 1, QV_ArgV + QV_ArgC + 1, QV_ArgV + runEnd);
    --QV_ArgC;
    StartResult.optionsEnded = true;
  }
  // A dialog follows unless there is no positional argument or the first asks for a screen.
  const bool dialogFollows =
      runEnd < QV_ArgC && (StartResult.optionsEnded || (std::strcmp(QV_ArgV[runEnd], "-h") != 0 &&
                                                        std::strcmp(QV_ArgV[runEnd], "-v") != 0));
  // gtk_init takes its options from any position. Only the leading run is
  // handed to it, ended by a null entry: from the first other argument on,
  // everything is the program's, so a default file such as
  // "--gtk-module=lib.so" stays a file name instead of loading that library.
  const int32_t rest = QV_ArgC - runEnd;
  char* const firstPositional = QV_ArgV[runEnd];
  QV_ArgV[runEnd] = nullptr;
  int runCount = runEnd;
  std::vector<std::string> warnings;
  ToolkitKeepWarnings(&warnings);
  const gboolean parsed = gtk_parse_args(&runCount, &QV_ArgV);
  ToolkitKeepWarnings(nullptr);
  QV_ArgV[runEnd] = firstPositional;
  // Close the gap that the options taken out of the run left.
  if (runCount < runEnd) std::copy(QV_ArgV + runEnd, QV_ArgV + QV_ArgC + 1, QV_ArgV + runCount);
  QV_ArgC = runCount + rest;
  if (parsed && runCount > 1) {
    // A refused run is kept whole, valid options too: read as arguments they
    // would shift every position, so the caller ends the run instead.
    for (int32_t i = 1; i < runCount; ++i) {
      if (i > 1) StartResult.refused += ' ';
      StartResult.refused += QV_ArgV[i];
    }
    if (!warnings.empty()) StartResult.reason = warnings.back();
    return StartResult;
  }
  for (const std::string& warning : warnings)
    g_log_default_handler("Gtk", G_LOG_LEVEL_WARNING, warning.c_str(), nullptr);
  // Before the toolkit or any thread of the font library starts: this may set
  // environment variables, which they read.
  KeepHungDesktopServicesAway(dialogFollows, ToolkitDesktop);
  // The options are read by now; this opens the display, or says it cannot
  // and ends the run.
  gtk_init(&QV_ArgC, &QV_ArgV);
  // Only here: not for refused options, after gtk_parse_args, which sets the
  // locale that the font library's thread reads, and only once the display is
  // open, so that the font library's own complaints (a broken configuration)
  // never race the toolkit's last line of a run without one.
  if (dialogFollows) PrefetchDialogFonts();
  return StartResult;
}
