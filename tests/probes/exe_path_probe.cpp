// Prints ExecutablePath() and its PathFileName in mode 0 and mode 1, each
// followed by a NUL byte, for tests that need a real executable somewhere.
#include <cstdio>
#include <string>

#include "runtime/arguments.h"

int main(int argc, char** argv) {
  QV_ArgC = static_cast<int32_t>(argc);
  QV_ArgV = argv;
  ArgumentStartup();
  const std::string path = ExecutablePath();
  const std::string texts[] = {path, PathFileName(path.c_str(), 0), PathFileName(path.c_str(), 1)};
  for (const auto& text : texts) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\0', stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
