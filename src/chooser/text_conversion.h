// Text at the toolkit boundary: program text (ISO-8859-15, one byte per
// character) to UTF-8 and back.
#pragma once

#include <cstdint>
#include <string>

#include "chooser/toolkit_owners.h"

// UTF-8 of text read as ISO-8859-15; a g_strdup'd copy of text when it cannot
// be converted, of "" for null. Never null.
GText ToToolkitText(const char* text);

// Decodes the first length bytes of utf8: a well-formed character up to U+00FF
// becomes its byte, every other well-formed character one "?", and every
// malformed sequence (overlong forms, surrogates, stray or cut-off bytes) one
// "?" per longest broken-off start, so no byte vanishes and no overlong form
// turns into a slash, a dot or a 0 byte. Writes to out unless it is null;
// returns the bytes emitted, never more than length.
uint32_t DecodeToolkitText(const char* utf8, uint32_t length, char* out);

// Program text of utf8 (null reads as "", the input ends at its first NUL),
// counted first and then decoded into storage of exactly that size.
std::string FromToolkitText(const char* utf8);
