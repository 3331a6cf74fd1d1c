// Bytes of program text as the tests see them: a readable hex form, and the
// eight ISO-8859-15 characters that the trip to the toolkit and back turns
// into "?". Header-only, so that the fuzz targets share it.
#pragma once

#include <cstdio>
#include <string>

// The eight ISO-8859-15 bytes whose characters lie beyond U+00FF, with them.
struct Latin9Difference {
  unsigned char byte;
  char32_t codePoint;
};
inline constexpr Latin9Difference kBeyondLatin1[8] = {
    {0xA4, 0x20AC}, {0xA6, 0x0160}, {0xA8, 0x0161}, {0xB4, 0x017D},
    {0xB8, 0x017E}, {0xBC, 0x0152}, {0xBD, 0x0153}, {0xBE, 0x0178}};

// The character of an ISO-8859-15 byte.
inline char32_t Latin9CodePoint(unsigned char byte) {
  for (const auto& d : kBeyondLatin1)
    if (d.byte == byte) return d.codePoint;
  return byte;
}

// UTF-8 of ISO-8859-15 text, from the table above and the identity elsewhere.
inline std::string Latin9ToUtf8(const std::string& bytes) {
  std::string utf8;
  for (char c : bytes) {
    const char32_t code = Latin9CodePoint(static_cast<unsigned char>(c));
    if (code < 0x80) {
      utf8 += static_cast<char>(code);
    } else if (code < 0x800) {
      utf8 += static_cast<char>(0xC0 | (code >> 6));
      utf8 += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      utf8 += static_cast<char>(0xE0 | (code >> 12));
      utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return utf8;
}

// Program text after the trip to the toolkit and back: the eight become "?".
inline std::string AfterRoundTrip(const std::string& bytes) {
  std::string back;
  for (char c : bytes) back += Latin9CodePoint(static_cast<unsigned char>(c)) > 0xFF ? '?' : c;
  return back;
}

// Bytes as a readable hex list for failure messages.
inline std::string Hex(const std::string& bytes) {
  std::string out;
  char buffer[4];
  for (char c : bytes) {
    std::snprintf(buffer, sizeof buffer, "%02X ", static_cast<unsigned char>(c));
    out += buffer;
  }
  return out.empty() ? "(empty)" : out;
}
