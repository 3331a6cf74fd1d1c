#include "runtime/text.h"

#include <cstring>

uint64_t TextLength(const char* text) { return text ? std::strlen(text) : 0; }

int TextEquals(const char* a, const char* b) {
  return std::strcmp(a ? a : "", b ? b : "") == 0 ? 1 : 0;
}

std::string TrimChar(const char* text, const char* set) {
  if (!text) return "";
  const char strip = set ? set[0] : ' ';
  const char* begin = text;
  const char* end = text + std::strlen(text);
  if (strip == '\0') return std::string(begin, end);
  while (begin < end && *begin == strip) ++begin;
  while (end > begin && end[-1] == strip) --end;
  return std::string(begin, end);
}

namespace {

// Value of c as a digit of radix, or -1.
int DigitValue(char c, unsigned radix) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  return v >= 0 && static_cast<unsigned>(v) < radix ? v : -1;
}

}  // namespace

int64_t ParseInteger(const char* text) {
  if (!text) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  } else if (*p == '+') {
    ++p;
  }
  unsigned radix = 10;
  if (*p == '$') {
    radix = 16;
    ++p;
  } else if (*p == '%') {
    radix = 2;
    ++p;
  }
  // Unsigned arithmetic: overflow wraps modulo 2^64 as the reading requires.
  uint64_t value = 0;
  for (int d; (d = DigitValue(*p, radix)) >= 0; ++p) value = value * radix + static_cast<uint64_t>(d);
  if (negative) value = 0 - value;
  return static_cast<int64_t>(value);
}
