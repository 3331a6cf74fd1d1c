// Runs a save dialog through the program's own services, then loses two
// things the program owns: a converted text and a filter that is never added.
// The memcheck tests run it to show that the toolkit suppressions still let
// such leaks through. Argument 1: the default file of the dialog; the chosen
// path is printed.
#include <gtk/gtk.h>

#include <cstdio>

#include "chooser/file_chooser.h"
#include "chooser/toolkit_start.h"
#include "chooser/text_conversion.h"
#include "runtime/arguments.h"

int main(int argc, char** argv) {
  QV_ArgC = static_cast<int32_t>(argc);
  QV_ArgV = argv;
  ToolkitInit();
  const std::string chosen = SaveFileChooser("Leak probe", argc > 1 ? argv[1] : "", "A|*|B|*", 1);
  // Both lost on purpose: nothing else refers to them.
  ToToolkitText("lost caf\xE9").release();
  gtk_file_filter_new();
  std::fwrite(chosen.data(), 1, chosen.size(), stdout);
  return 0;
}
