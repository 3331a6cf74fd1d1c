// Writes ToToolkitText of its first argument to standard output, as bytes.
#include <cstdio>
#include <cstring>

#include "chooser/text_conversion.h"

int main(int argc, char** argv) {
  const GText text = ToToolkitText(argc > 1 ? argv[1] : nullptr);
  std::fwrite(text.get(), 1, std::strlen(text.get()), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
