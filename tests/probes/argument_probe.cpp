// Prints what the argument service hands out in a real process: the count on
// the first line, then every user argument followed by a NUL byte. With
// STASHWICK_PROBE_TOOLKIT set, the toolkit starts first and removes its options;
// the options it refused go to standard error.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "chooser/toolkit_start.h"
#include "runtime/arguments.h"

int main(int argc, char** argv) {
  QV_ArgC = static_cast<int32_t>(argc);
  QV_ArgV = argv;
  ArgumentStartup();
  if (std::getenv("STASHWICK_PROBE_TOOLKIT")) {
    const std::string& refused = ToolkitInit().refused;
    if (!refused.empty()) std::fprintf(stderr, "%s\n", refused.c_str());
  }
  const int64_t count = ArgumentCount();
  std::printf("%lld\n", static_cast<long long>(count));
  for (int64_t i = 0; i < count; ++i) {
    const std::string argument = ArgumentAt(static_cast<int32_t>(i));
    std::fwrite(argument.data(), 1, argument.size(), stdout);
    std::fputc('\0', stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
