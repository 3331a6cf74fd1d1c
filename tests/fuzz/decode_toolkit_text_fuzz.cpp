// DecodeToolkitText and FromToolkitText on arbitrary bytes (NULs included).
// The count pass equals the decode pass, nothing is written past the count,
// the output is never longer than the input, and the result equals a decoder
// that takes one step at a time and emits at most one byte per step.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "chooser/text_conversion.h"
#include "fuzz_check.h"

namespace {

bool Continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

struct Step {
  size_t consumed;
  int emitted;  // -1: nothing
};

// One decoding step at position at of in.
Step DecodeStep(const std::vector<unsigned char>& in, size_t at) {
  const unsigned char lead = in[at];
  const size_t after = in.size() - at - 1;
  if (lead < 0x80) return {1, lead};
  if (lead < 0xC0 || lead >= 0xF8) return {1, -1};
  // Bytes the sequence needs after the lead before it counts at all.
  const size_t needs = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  if (after < needs) return {1, -1};
  size_t run = 0;
  while (run < needs && Continuation(in[at + 1 + run])) ++run;
  if (needs == 1) {
    if (run == 0) return {1, '?'};
    const unsigned value = (lead & 0x1Fu) * 64 + (in[at + 1] & 0x3Fu);
    return {2, value < 256 ? static_cast<int>(value) : '?'};
  }
  return {1 + run, '?'};
}

std::string Reference(const std::vector<unsigned char>& in) {
  std::string out;
  for (size_t at = 0; at < in.size();) {
    const Step step = DecodeStep(in, at);
    FUZZ_CHECK(step.consumed >= 1 && at + step.consumed <= in.size());
    if (step.emitted >= 0) out.push_back(static_cast<char>(step.emitted));
    at += step.consumed;
  }
  return out;
}

std::string Decode(const std::vector<unsigned char>& in, size_t length) {
  // Exactly sized copies, so that ASan sees any read past the length.
  std::vector<unsigned char> input(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(length));
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
  const std::vector<unsigned char> in(data, data + size);
  const std::string want = Reference(in);
  FUZZ_CHECK(Decode(in, size) == want);

  // FromToolkitText reads the input up to its first NUL.
  const std::string text = AsProgramText(data, size);
  const std::vector<unsigned char> prefix(text.begin(), text.end());
  const std::string converted = FromToolkitText(text.c_str());
  FUZZ_CHECK(converted == Reference(prefix));
  FUZZ_CHECK(converted.size() <= text.size());
  FUZZ_CHECK(FromToolkitText(nullptr).empty());
  return 0;
}
