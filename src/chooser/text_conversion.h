// Program text (ISO-8859-15, one byte per character) to UTF-8 for the toolkit.
// The way back, FromToolkitText, is the runtime's (runtime/text_decoding.h).
#pragma once

#include <string>

#include "chooser/toolkit_owners.h"

// UTF-8 of text read as ISO-8859-15; a g_strdup'd copy of text when it cannot
// be converted, of "" for null. Never null.
GText ToToolkitText(const char* text);

// Text for a line on standard error, in the locale's character set as the
// toolkit's own messages are: text is UTF-8 when utf8, else in the locale's
// character set. Every control character (C0, DEL, C1), line or paragraph
// separator (U+2028, U+2029) and bidirectional mark (U+200E, U+200F,
// U+202A-U+202E, U+2066-U+2069) is shown as \u001b,
// every byte that is no character of its set as \xff, and what the locale
// cannot show as "?". The result never holds a control byte.
std::string MessageText(const std::string& text, bool utf8);
