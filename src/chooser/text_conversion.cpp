#include "chooser/text_conversion.h"

#include <cstring>

GText ToToolkitText(const char* text) {
  if (!text) return GText(g_strdup(""));
  gsize bytesRead = 0;
  gchar* converted = g_convert(text, -1, "UTF-8", "ISO-8859-15", &bytesRead, nullptr, nullptr);
  return GText(converted ? converted : g_strdup(text));
}

namespace {

bool IsContinuation(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

}  // namespace

uint32_t DecodeToolkitText(const char* utf8, uint32_t length, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(utf8);
  uint32_t emitted = 0;
  uint32_t i = 0;
  // Each step emits at most one byte and consumes at least one, so the output
  // never outgrows the input.
  auto emit = [&](unsigned char b) {
    if (out) out[emitted] = static_cast<char>(b);
    ++emitted;
  };
  while (i < length) {
    const unsigned char lead = in[i];
    const uint32_t following = length - i - 1;
    uint32_t consumed = 1;
    if (lead <= 0x7F) {
      emit(lead);
    } else if (lead >= 0xC0 && lead <= 0xDF) {
      if (following >= 1) {
        if (IsContinuation(in[i + 1])) {
          const uint32_t v = ((lead & 0x1Fu) << 6) | (in[i + 1] & 0x3Fu);
          emit(v <= 0xFF ? static_cast<unsigned char>(v) : '?');
          consumed = 2;
        } else {
          emit('?');
        }
      }
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      if (following >= 2) {
        emit('?');
        if (IsContinuation(in[i + 1])) consumed = IsContinuation(in[i + 2]) ? 3 : 2;
      }
    } else if (lead >= 0xF0 && lead <= 0xF7) {
      if (following >= 3) {
        emit('?');
        while (consumed < 4 && IsContinuation(in[i + consumed])) ++consumed;
      }
    }
    // 0x80-0xBF (a stray continuation byte) and 0xF8-0xFF are dropped.
    i += consumed;
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
