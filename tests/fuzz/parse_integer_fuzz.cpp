// ParseInteger against a reading of the same grammar that finds the digit run
// first and then evaluates it in a different way: the low 16 hex digits or the
// low 64 binary digits through strtoull (only they reach the low 64 bits), and
// decimal runs in chunks of 18 digits with 128-bit products.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "runtime/text.h"

namespace {

bool IsDigitOf(char c, int radix) {
  switch (radix) {
    case 2: return c == '0' || c == '1';
    case 10: return c >= '0' && c <= '9';
    default: return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }
}

uint64_t LowBitsOf(const std::string& digits, int radix) {
  if (digits.empty()) return 0;
  if (radix == 16 || radix == 2) {
    const size_t keep = radix == 16 ? 16 : 64;
    const std::string low = digits.size() > keep ? digits.substr(digits.size() - keep) : digits;
    return std::strtoull(low.c_str(), nullptr, radix);
  }
  const unsigned __int128 modulus = static_cast<unsigned __int128>(1) << 64;
  unsigned __int128 value = 0;
  for (size_t at = 0; at < digits.size(); at += 18) {
    const std::string chunk = digits.substr(at, 18);
    unsigned __int128 scale = 1;
    for (size_t i = 0; i < chunk.size(); ++i) scale *= 10;
    // value < 2^64 and scale <= 10^18 < 2^60: the product stays below 2^124.
    value = (value * scale + std::strtoull(chunk.c_str(), nullptr, 10)) % modulus;
  }
  return static_cast<uint64_t>(value);
}

int64_t Reference(const std::string& text) {
  size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos) return 0;
  bool negative = false;
  if (text[i] == '-' || text[i] == '+') negative = text[i++] == '-';
  int radix = 10;
  if (i < text.size() && text[i] == '$') radix = 16, ++i;
  else if (i < text.size() && text[i] == '%') radix = 2, ++i;
  size_t end = i;
  while (end < text.size() && IsDigitOf(text[end], radix)) ++end;
  const uint64_t magnitude = LowBitsOf(text.substr(i, end - i), radix);
  const uint64_t value = negative ? ~magnitude + 1 : magnitude;
  int64_t result;
  static_assert(sizeof result == sizeof value);
  __builtin_memcpy(&result, &value, sizeof result);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string text = AsProgramText(data, size);
  const int64_t got = ParseInteger(text.c_str());
  const int64_t want = Reference(text);
  if (got != want) {
    std::fprintf(stderr, "ParseInteger(\"%s\") = %lld, expected %lld\n", text.c_str(),
                 static_cast<long long>(got), static_cast<long long>(want));
    std::abort();
  }
  FUZZ_CHECK(ParseInteger(nullptr) == 0);
  return 0;
}
