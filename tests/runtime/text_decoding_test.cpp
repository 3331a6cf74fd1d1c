#include "runtime/text_decoding.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/text_bytes.h"
#include "support/utf8_reference.h"

namespace {

struct FromToolkitCase {
  std::string utf8;
  std::string text;
};

TEST(TextConversionFromToolkit, DecodesByCodePointAndMarksEveryMalformedSequence) {
  const FromToolkitCase cases[] = {
      // Well-formed characters.
      {"caf\xC3\xA9", "caf\xE9"},
      {"\xC2\x80\xC2\xBF\xC3\xBF\xC4\x80", "\x80\xBF\xFF?"},
      {"\xE2\x82\xAC", "?"},
      {"\xF0\x9F\x98\x80", "?"},
      {"\x01\x7F", "\x01\x7F"},
      {"\xDF\xBF" "A", "?A"},
      {"\xE0\xA0\x80", "?"},
      {"\xF4\x8F\xBF\xBF", "?"},
      // Folder names that are no UTF-8: the path a caller gets must never name
      // another folder (.., a/b, or a path cut short at a 0 byte) without a "?".
      {"\xC0\xAE\xC0\xAE", "????"},
      {"a\xC0\xAF" "b", "a??b"},
      {"a\xC0\x80" "b", "a??b"},
      {"caf\xA9", "caf?"},
      {"x\xF8\xFFy", "x??y"},
      {"caf\xE9", "caf?"},
      // Overlong forms, surrogates and code points past U+10FFFF are never decoded.
      {"\xC1\xBF", "??"},
      {"\xE0\x80\xAE", "???"},
      {"\xED\xA0\x80", "???"},
      {"\xF4\x90\x80\x80", "????"},
      // A broken-off sequence is one "?"; the byte that breaks it starts the next step.
      {"\xC3" "A", "?A"},
      {"\xC3\xC3\xA9", "?\xE9"},
      {"\xE2\x82" "A", "?A"},
      {"\xF0\x9F\x98" "A", "?A"},
      {"\xE2\x82\xC3\xA9", "?\xE9"},
      {"\xE2\x82\xAC\xAC" "A", "??A"},
      // Cut off at the end.
      {"A\xC3", "A?"},
      {"a\xE2\x82", "a?"},
      {"\xF0\x9F\x98", "?"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.utf8));
    EXPECT_EQ(Hex(FromToolkitText(c.utf8.c_str())), Hex(c.text));
  }
  EXPECT_EQ(FromToolkitText(nullptr), "");
  // The input ends at its first NUL: what follows is not decoded.
  EXPECT_EQ(FromToolkitText("ab\0\xC3\xA9"), "ab");
}

// Decodes bytes through DecodeToolkitText with explicit length and holds the
// result against the reference decoder. The pre-count must equal the set of
// bytes the decoder writes: the output buffer is filled with two different
// sentinels in two runs, and a position counts as written only when both runs
// agree on it. Input that is no UTF-8 must show at least one "?".
void CheckDecode(const std::string& in) {
  const auto length = static_cast<uint32_t>(in.size());
  const uint32_t counted = DecodeToolkitText(in.data(), length, nullptr);
  const size_t room = in.size() + 8;
  std::vector<char> first(room, static_cast<char>(0xAA));
  std::vector<char> second(room, static_cast<char>(0x55));
  EXPECT_EQ(counted, DecodeToolkitText(in.data(), length, first.data())) << Hex(in);
  EXPECT_EQ(counted, DecodeToolkitText(in.data(), length, second.data())) << Hex(in);
  ASSERT_LE(counted, length) << Hex(in);
  for (size_t i = 0; i < room; ++i) {
    const bool written = first[i] == second[i];
    if (written != (i < counted)) {
      ADD_FAILURE() << "byte " << i << (written ? " written" : " not written") << ", count "
                    << counted << ", input " << Hex(in);
      break;
    }
  }
  const std::string out(first.data(), counted);
  EXPECT_EQ(Hex(out), Hex(utf8_reference::Decode(in))) << "input " << Hex(in);
  if (!utf8_reference::WellFormed(in)) {
    EXPECT_NE(out.find('?'), std::string::npos) << "input " << Hex(in);
  }
}

TEST(TextConversionFromToolkit, MatchesTheReferenceForAllShortByteStrings) {
  CheckDecode("");
  std::string in;
  for (int a = 0; a < 256; ++a) {
    for (int b = -1; b < 256; ++b) {
      in.assign(1, static_cast<char>(a));
      if (b >= 0) in += static_cast<char>(b);
      CheckDecode(in);
    }
    if (HasFailure()) return;
  }
}

TEST(TextConversionFromToolkit, MatchesTheReferenceOverLeadAndContinuationBytes) {
  // One byte of each decoding class and its borders, in every string of 3 and 4.
  const unsigned char alphabet[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                    0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  const size_t n = sizeof alphabet;
  for (size_t length = 3; length <= 4; ++length) {
    std::vector<size_t> digits(length, 0);
    std::string in(length, '\0');
    for (;;) {
      for (size_t i = 0; i < length; ++i) in[i] = static_cast<char>(alphabet[digits[i]]);
      CheckDecode(in);
      if (HasFailure()) return;
      size_t pos = 0;
      while (pos < length && ++digits[pos] == n) digits[pos++] = 0;
      if (pos == length) break;
    }
  }
}

TEST(TextConversionFromToolkit, MatchesTheReferenceForRandomByteStrings) {
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> lengthOf(0, 40);
  std::uniform_int_distribution<int> byteOf(0, 255);
  std::string in;
  for (int round = 0; round < 50000; ++round) {
    in.resize(static_cast<size_t>(lengthOf(random)));
    for (char& b : in) b = static_cast<char>(byteOf(random));
    CheckDecode(in);
    if (HasFailure()) return;
  }
}

TEST(TextConversionFromToolkit, WellFormedUtf8GivesOneByteOrOneQuestionMarkPerCharacter) {
  std::mt19937 random(7);
  // Code points from every encoded length, surrogates left out.
  std::uniform_int_distribution<int> rangeOf(0, 4);
  const gunichar lows[] = {0x00, 0x80, 0x100, 0x800, 0x10000};
  const gunichar highs[] = {0x7F, 0xFF, 0x7FF, 0xFFFF, 0x10FFFF};
  for (int round = 0; round < 20000; ++round) {
    std::string utf8;
    std::string expected;
    const int count = round % 12;
    for (int i = 0; i < count; ++i) {
      const int range = rangeOf(random);
      std::uniform_int_distribution<gunichar> pointOf(lows[range], highs[range]);
      gunichar point = pointOf(random);
      if (point == 0 || (point >= 0xD800 && point <= 0xDFFF)) point = 'x';
      char encoded[8] = {};
      utf8.append(encoded, static_cast<size_t>(g_unichar_to_utf8(point, encoded)));
      expected += point <= 0xFF ? static_cast<char>(point) : '?';
    }
    ASSERT_TRUE(g_utf8_validate(utf8.c_str(), -1, nullptr));
    ASSERT_EQ(Hex(FromToolkitText(utf8.c_str())), Hex(expected)) << "input " << Hex(utf8);
  }
}

}  // namespace
