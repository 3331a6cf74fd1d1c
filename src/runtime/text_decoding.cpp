#include "runtime/text_decoding.h"

#include <cstring>

namespace {

bool IsContinuation(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

// What a lead byte starts: the continuation bytes it needs, and the range its
// first continuation byte must lie in (narrower after E0, ED, F0 and F4, which
// shuts out overlong forms, surrogates and code points past U+10FFFF).
struct Sequence {
  uint32_t needs;  // 0: the byte starts no sequence
  unsigned char low;
  unsigned char high;
};

Sequence SequenceOf(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF};
  if (lead == 0xE0) return {2, 0xA0, 0xBF};
  if (lead == 0xED) return {2, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {2, 0x80, 0xBF};
  if (lead == 0xF0) return {3, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {3, 0x80, 0xBF};
  if (lead == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

uint32_t DecodeToolkitText(const char* utf8, uint32_t length, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(utf8);
  uint32_t emitted = 0;
  uint32_t i = 0;
  // Each step emits exactly one byte and consumes at least one, so the output
  // never outgrows the input and no malformed byte vanishes.
  auto emit = [&](unsigned char b) {
    if (out) out[emitted] = static_cast<char>(b);
    ++emitted;
  };
  while (i < length) {
    const unsigned char lead = in[i];
    if (lead <= 0x7F) {
      emit(lead);
      ++i;
      continue;
    }
    // The longest start of a well-formed sequence is one step: a whole
    // character, or one "?" for a sequence broken off (a stray continuation
    // byte, C0, C1 and F5-FF start none and are a step of their own).
    const Sequence sequence = SequenceOf(lead);
    const uint32_t following = length - i - 1;
    uint32_t taken = 0;
    while (taken < sequence.needs && taken < following) {
      const unsigned char next = in[i + 1 + taken];
      const bool fits = taken == 0 ? next >= sequence.low && next <= sequence.high : IsContinuation(next);
      if (!fits) break;
      ++taken;
    }
    if (sequence.needs == 1 && taken == 1) {
      const uint32_t v = ((lead & 0x1Fu) << 6) | (in[i + 1] & 0x3Fu);
      emit(v <= 0xFF ? static_cast<unsigned char>(v) : '?');
    } else {
      emit('?');
    }
    i += 1 + taken;
  }
  return emitted;
}

std::string FromToolkitText(const char* utf8) {
  const char* text = utf8 ? utf8 : "";
  const uint32_t length = static_cast<uint32_t>(std::strlen(text));
  const uint32_t count = DecodeToolkitText(text, length, nullptr);
  std::string result(count, '\0');
  DecodeToolkitText(text, length, result.data());
  return result;
}
