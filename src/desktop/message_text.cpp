#include "desktop/message_text.h"

#include <glib.h>

#include <memory>

namespace {

struct TextFree {
  void operator()(gchar* t) const { g_free(t); }
};
using OwnedText = std::unique_ptr<gchar, TextFree>;

// Whether c moves or splits the text around it on a terminal or in a log: a
// control character, the line and paragraph separators, or a mark that turns
// the direction of what follows (embedding, override, isolate, LRM and RLM).
bool MovesText(gunichar c) {
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Valid UTF-8 with every character that moves the text and every byte that is
// not UTF-8 escaped.
std::string EscapeControls(const char* text) {
  std::string escaped;
  char code[8];
  for (const char* p = text; *p;) {
    const gunichar c = g_utf8_get_char_validated(p, -1);
    if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
      g_snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned>(static_cast<guchar>(*p)));
      escaped += code;
      ++p;
      continue;
    }
    const char* next = g_utf8_next_char(p);
    if (MovesText(c)) {
      g_snprintf(code, sizeof code, "\\u%04x", c);
      escaped += code;
    } else {
      escaped.append(p, next);
    }
    p = next;
  }
  return escaped;
}

}  // namespace

std::string MessageText(const std::string& text, bool utf8) {
  const char* charset = nullptr;
  const bool localeIsUtf8 = g_get_charset(&charset);
  OwnedText converted;
  if (!utf8 && !localeIsUtf8)
    converted.reset(g_locale_to_utf8(text.c_str(), -1, nullptr, nullptr, nullptr));
  // Text in the locale's set that does not convert stays bytes: every byte
  // past ASCII is then escaped as not being UTF-8.
  const std::string escaped = EscapeControls(converted ? converted.get() : text.c_str());
  if (localeIsUtf8) return escaped;
  const OwnedText shown(
      g_convert_with_fallback(escaped.c_str(), -1, charset, "UTF-8", "?", nullptr, nullptr, nullptr));
  if (shown) return shown.get();
  std::string ascii;
  for (const char* p = escaped.c_str(); *p; p = g_utf8_next_char(p))
    ascii += static_cast<guchar>(*p) < 0x80 ? *p : '?';
  return ascii;
}

std::string ShortText(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...";
}
