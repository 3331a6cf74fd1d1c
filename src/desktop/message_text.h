// Text for the program's lines on standard error.
#pragma once

#include <cstddef>
#include <string>

// Text for a line on standard error, in the locale's character set as the
// toolkit's own messages are: text is UTF-8 when utf8, else in the locale's
// character set. Every control character (C0, DEL, C1), line or paragraph
// separator (U+2028, U+2029) and bidirectional mark (U+200E, U+200F,
// U+202A-U+202E, U+2066-U+2069) is shown as \u001b,
// every byte that is no character of its set as \xff, and what the locale
// cannot show as "?". The result never holds a control byte.
std::string MessageText(const std::string& text, bool utf8);

// text (UTF-8) cut after its last whole character within bytes, with "..."
// after it when anything was cut; text itself when it fits.
std::string ShortText(const std::string& text, size_t bytes);
