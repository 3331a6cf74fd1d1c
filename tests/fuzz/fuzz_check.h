// Shared by the fuzz targets: a failed check prints what was expected and
// aborts, so that libFuzzer records the input as a crash artifact.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

// The input as program text: a NUL-terminated copy that ends at the first NUL
// of the input, as every text operation reads it.
inline std::string AsProgramText(const unsigned char* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
  return text;
}
