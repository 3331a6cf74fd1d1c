// DecodeToolkitText and FromToolkitText on arbitrary bytes (NULs included).
// The count pass equals the decode pass, nothing is written past the count,
// the output is never longer than the input, it equals the reference decoder,
// and input that is no UTF-8 shows at least one "?".
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "runtime/text_decoding.h"
#include "support/utf8_reference.h"

namespace {

std::string Decode(const unsigned char* data, size_t length) {
  // Exactly sized copies, so that ASan sees any read past the length.
  std::vector<unsigned char> input(data, data + length);
  const char* bytes = reinterpret_cast<const char*>(input.data());
  const uint32_t count = DecodeToolkitText(bytes, static_cast<uint32_t>(length), nullptr);
  FUZZ_CHECK(count <= length);
  const size_t guard = 8;
  std::vector<char> out(count + guard, '\x5A');
  FUZZ_CHECK(DecodeToolkitText(bytes, static_cast<uint32_t>(length), out.data()) == count);
  for (size_t i = count; i < out.size(); ++i) FUZZ_CHECK(out[i] == '\x5A');
  return std::string(out.data(), count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string decoded = Decode(data, size);
  FUZZ_CHECK(decoded == utf8_reference::Decode(data, size));
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(utf8_reference::WellFormed(bytes) || decoded.find('?') != std::string::npos);

  // FromToolkitText reads the input up to its first NUL.
  const std::string text = AsProgramText(data, size);
  const std::string converted = FromToolkitText(text.c_str());
  FUZZ_CHECK(converted == utf8_reference::Decode(text));
  FUZZ_CHECK(converted.size() <= text.size());
  FUZZ_CHECK(FromToolkitText(nullptr).empty());
  return 0;
}
