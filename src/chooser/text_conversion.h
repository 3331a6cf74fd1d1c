// Text at the toolkit boundary: program text (ISO-8859-15, one byte per
// character) to UTF-8 and back.
#pragma once

#include <cstdint>
#include <string>

#include "chooser/toolkit_owners.h"

// UTF-8 of text read as ISO-8859-15; a g_strdup'd copy of text when it cannot
// be converted, of "" for null. Never null.
GText ToToolkitText(const char* text);

// Decodes the first length bytes of utf8 by the program's rules: code points up
// to U+00FF become their byte, every other character "?", malformed bytes "?" or
// nothing. Writes to out unless it is null; returns the bytes emitted.
uint32_t DecodeToolkitText(const char* utf8, uint32_t length, char* out);

// Program text of utf8 (null reads as ""), counted first and then decoded into
// storage of exactly that size. May hold a 0 byte (from C0 80), where the text
// then ends for every later operation.
std::string FromToolkitText(const char* utf8);
