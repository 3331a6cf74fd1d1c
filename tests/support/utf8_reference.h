// A second decoder of toolkit text, written from GLib's own UTF-8 validator
// rather than from byte classes, that the decoder under test is held against:
// a well-formed character gives its code point's byte up to U+00FF, else "?";
// anything else gives one "?" for the longest start of a well-formed sequence
// (at least one byte). Slow and simple on purpose.
#pragma once

#include <glib.h>

#include <array>
#include <string>

namespace utf8_reference {

// Whether the n bytes at p begin some well-formed character of more than n
// bytes. Only the second byte of a sequence has a narrower range than 80-BF,
// so trying every second byte (when n is 1) and 80 for the rest decides it.
inline bool BeginsByTrial(const unsigned char* p, size_t n) {
  for (size_t total = n + 1; total <= 4; ++total) {
    for (unsigned second = 0x80; second <= 0xBF; ++second) {
      unsigned char candidate[4] = {0x80, 0x80, 0x80, 0x80};
      for (size_t i = 0; i < n; ++i) candidate[i] = p[i];
      if (n == 1) candidate[1] = static_cast<unsigned char>(second);
      if (g_utf8_validate(reinterpret_cast<const char*>(candidate), static_cast<gssize>(total), nullptr))
        return true;
      if (n > 1) break;
    }
  }
  return false;
}

inline bool Begins(const unsigned char* p, size_t n) {
  if (n > 1) return BeginsByTrial(p, n);
  static const std::array<bool, 256> leads = [] {
    std::array<bool, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
      const unsigned char lead = static_cast<unsigned char>(b);
      table[b] = BeginsByTrial(&lead, 1);
    }
    return table;
  }();
  return leads[*p];
}

// Decodes size bytes at data (NULs included, each its own byte).
inline std::string Decode(const unsigned char* data, size_t size) {
  std::string out;
  for (size_t at = 0; at < size;) {
    const unsigned char* p = data + at;
    const size_t left = size - at;
    if (*p < 0x80) {
      out += static_cast<char>(*p);
      ++at;
      continue;
    }
    size_t whole = 0;
    for (size_t n = 2; n <= 4 && n <= left && !whole; ++n)
      if (g_utf8_validate(reinterpret_cast<const char*>(p), static_cast<gssize>(n), nullptr)) whole = n;
    if (whole) {
      const gunichar point = g_utf8_get_char(reinterpret_cast<const char*>(p));
      out += point <= 0xFF ? static_cast<char>(point) : '?';
      at += whole;
      continue;
    }
    size_t broken = 1;
    while (broken < left && broken < 3 && Begins(p, broken + 1)) ++broken;
    out += '?';
    at += broken;
  }
  return out;
}

inline std::string Decode(const std::string& bytes) {
  return Decode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// Whether bytes are well-formed UTF-8, a 0 byte counting as a character.
inline bool WellFormed(std::string bytes) {
  for (char& b : bytes)
    if (b == '\0') b = 'x';
  return g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
}

}  // namespace utf8_reference
