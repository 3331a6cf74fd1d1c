#include "app/screens.h"

#include <string>

#include "app/driver.h"
#include "runtime/console.h"

void ShowHelp() {
  const std::string& name = ProgramFileName;
  // Ten blanks line the further examples up under the text after "Examples: ".
  const std::string indent(10, ' ');
  const std::string call = "Call:  " + name + " [-h|-v] <title> <default file> <pattern> <pos>";
  const std::string example1 = "Examples: " + name + " \"Save as\" Default.txt \"All Files (*.*)|*.*\"";
  const std::string example2 = indent + name + " \"Save As\" \"\" \"Script (*.js;*.vbs)|*.js;*.vbs\"";
  const std::string example3 =
      indent + name + " \"Save As\" \"\" \"*.* (*.*)|*.*|BAT (*.bat)|*.bat\" 1";
  const std::string credit = "by the Stashwick developers";

  const char* const lines[] = {
      "",
      "Stashwick - Open a dialog to save a file..",
      "",
      call.c_str(),
      "",
      "Options:",
      "          -h        Print this message",
      "          -v        Print version number",
      "",
      example1.c_str(),
      example2.c_str(),
      example3.c_str(),
      "",
      credit.c_str(),
      kStashwickWebAddress,
  };
  ConsoleOpen();
  for (const char* line : lines) ConsoleWriteLine(line);
  ConsoleClose();
}

void ShowVersion() {
  const std::string available = std::string("Available at: ") + kStashwickWebAddress;
  const char* const lines[] = {
      "",
      "Stashwick v1.0",
      "",
      "Last updated: 2014-10-04",
      available.c_str(),
  };
  ConsoleOpen();
  for (const char* line : lines) ConsoleWriteLine(line);
  ConsoleClose();
}
