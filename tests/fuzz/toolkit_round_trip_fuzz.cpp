// ToToolkitText then FromToolkitText: program text comes back unchanged except
// for the eight ISO-8859-15 bytes whose characters lie beyond U+00FF, which
// come back as "?". The intermediate text is valid UTF-8.
#include <cstring>
#include <string>

#include "chooser/text_conversion.h"
#include "fuzz_check.h"
#include "runtime/text_decoding.h"
#include "support/text_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string text = AsProgramText(data, size);
  const GText utf8 = ToToolkitText(text.c_str());
  FUZZ_CHECK(utf8.get() != nullptr);
  FUZZ_CHECK(g_utf8_validate(utf8.get(), -1, nullptr));
  // One program byte is one character of at most three UTF-8 bytes.
  FUZZ_CHECK(g_utf8_strlen(utf8.get(), -1) == static_cast<glong>(text.size()));
  FUZZ_CHECK(std::strlen(utf8.get()) <= 3 * text.size());

  FUZZ_CHECK(FromToolkitText(utf8.get()) == AfterRoundTrip(text));
  return 0;
}
