#include "chooser/text_conversion.h"

GText ToToolkitText(const char* text) {
  if (!text) return GText(g_strdup(""));
  gsize bytesRead = 0;
  gchar* converted = g_convert(text, -1, "UTF-8", "ISO-8859-15", &bytesRead, nullptr, nullptr);
  return GText(converted ? converted : g_strdup(text));
}
