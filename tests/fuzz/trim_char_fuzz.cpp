// TrimChar: the result is the text between two runs of the strip character,
// so it is a substring of the text, neither end is the strip character, and
// everything cut off on either side is the strip character.
//
// Input: the first byte chooses the set (0: missing, 1: empty, otherwise the
// bytes up to the first 0xFF), the rest is the text.
#include <string>

#include "fuzz_check.h"
#include "runtime/text.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  if (size == 0) return 0;
  const unsigned char selector = data[0];
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string set;
  if (selector > 1) {
    const size_t cut = rest.find('\xFF');
    set = rest.substr(0, cut);
    rest = cut == std::string::npos ? "" : rest.substr(cut + 1);
  }
  const std::string text = AsProgramText(reinterpret_cast<const unsigned char*>(rest.data()), rest.size());
  const char* setArg = selector == 0 ? nullptr : set.c_str();
  const std::string result = TrimChar(text.c_str(), setArg);

  const char strip = selector == 0 ? ' ' : set.c_str()[0];
  if (strip == '\0') {
    FUZZ_CHECK(result == text);
  } else {
    const size_t left = text.find_first_not_of(strip);
    if (left == std::string::npos) {
      FUZZ_CHECK(result.empty());
    } else {
      // Both runs are maximal: the result sits exactly at the first byte that
      // is not the strip character and ends after the last such byte.
      const size_t right = text.find_last_not_of(strip);
      FUZZ_CHECK(result.size() == right - left + 1);
      FUZZ_CHECK(text.compare(left, result.size(), result) == 0);
      FUZZ_CHECK(result.front() != strip && result.back() != strip);
    }
  }
  // Only the first byte of the set counts.
  if (set.size() > 1) FUZZ_CHECK(TrimChar(text.c_str(), set.substr(0, 1).c_str()) == result);
  FUZZ_CHECK(TrimChar(nullptr, setArg).empty());
  return 0;
}
