// String primitives on program text: NUL-terminated byte strings, one byte per
// character. A null pointer reads as "" everywhere except the set of TrimChar.
#pragma once

#include <cstdint>
#include <string>

// Bytes before the terminating NUL; 0 for null.
uint64_t TextLength(const char* text);

// 1 when both texts hold the same bytes (null equals ""), else 0.
int TextEquals(const char* a, const char* b);

// Copy of text without the runs of set's first byte at both ends. A null set
// means a blank; an empty set strips nothing; further bytes of set are ignored.
std::string TrimChar(const char* text, const char* set);

// Leading blanks and tabs, one optional sign, an optional radix marker ("$" hex,
// "%" binary), then digits up to the first non-digit. Wraps modulo 2^64; any
// text that cannot be read yields 0.
int64_t ParseInteger(const char* text);
