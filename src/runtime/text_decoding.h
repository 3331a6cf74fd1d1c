// UTF-8 from the toolkit (chosen paths) and from the system (the executable's
// path) to program text, one byte per character.
#pragma once

#include <cstdint>
#include <string>

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
