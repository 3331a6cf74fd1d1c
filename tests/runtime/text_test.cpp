#include "runtime/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>

namespace {

struct ParseCase {
  const char* text;  // nullptr: a missing text
  int64_t value;
};

TEST(TextParseInteger, ReadsEveryFormAndWrapsModulo64Bits) {
  const ParseCase cases[] = {
      {"42", 42},
      {"  -$1F", -31},
      {"\t+%1011", 11},
      {"$ff", 255},
      {"$FF", 255},
      {"$aBc", 2748},
      {"$fG", 15},
      {"%102", 2},
      {"-%101", -5},
      {" 007", 7},
      {"12abc", 12},
      {"3.9", 3},
      {"1 2", 1},
      {"0x1F", 0},
      {"abc", 0},
      {"", 0},
      {nullptr, 0},
      {"$", 0},
      {"%", 0},
      {"-$", 0},
      {"$-1", 0},
      {"- 5", 0},
      {"+ 5", 0},
      {"--5", 0},
      {"-+5", 0},
      {"+-5", 0},
      {"\n5", 0},
      {"\r5", 0},
      {"\v5", 0},
      {"\f5", 0},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", INT64_MIN},
      {"18446744073709551616", 0},
      {"18446744073709551617", 1},
      {"$FFFFFFFFFFFFFFFF", -1},
      {"$10000000000000000", 0},
      {"-$8000000000000000", INT64_MIN},
      {"-9223372036854775808", INT64_MIN},
      {"4294967297", 4294967297},
      {"%11111111111111111111111111111111111111111111111111111111111111111", -1},
      {"\xE9" "5", 0},
      {"5\xE9", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(missing)");
    EXPECT_EQ(ParseInteger(c.text), c.value);
  }
}

struct TrimCase {
  const char* text;
  const char* set;
  const char* result;
};

TEST(TextTrimChar, StripsRunsOfTheSetsFirstByteAtBothEnds) {
  const TrimCase cases[] = {
      {"a\n", "\n", "a"},
      {"\n\na b\n\n\n", "\n", "a b"},
      {"a\nb", "\n", "a\nb"},
      {"\n", "\n", ""},
      {"\n\n\n\n", "\n", ""},
      {"", "\n", ""},
      {nullptr, "\n", ""},
      {"xxhixy", "xyz", "hixy"},
      {"  hi  ", nullptr, "hi"},
      {"--a-b--", "-", "a-b"},
      {"hi", "", "hi"},
      {"\xE9\xE9x\xE9", "\xE9", "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("text=") + (c.text ? c.text : "(missing)"));
    EXPECT_EQ(TrimChar(c.text, c.set), c.result);
  }
}

TEST(TextTrimChar, LeavesItsInputUntouched) {
  char text[] = "\nabc\n";
  EXPECT_EQ(TrimChar(text, "\n"), "abc");
  EXPECT_STREQ(text, "\nabc\n");
}

struct EqualsCase {
  const char* a;
  const char* b;
  int equal;
};

TEST(TextEquals, ComparesBytesWithMissingAsEmpty) {
  const EqualsCase cases[] = {
      {"-h", "-h", 1},   {"-H", "-h", 0}, {"-h ", "-h", 0}, {"-h", "-h ", 0},
      {nullptr, "", 1},  {"", nullptr, 1}, {nullptr, nullptr, 1}, {"", " ", 0},
      {"-v", "-h", 0},   {"\xE9", "\xC9", 0}, {"\xE9", "\xE9", 1}, {"a", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a ? c.a : "(missing)") + " vs " + (c.b ? c.b : "(missing)"));
    EXPECT_EQ(TextEquals(c.a, c.b), c.equal);
  }
}

TEST(TextLength, CountsBytesUpToTheFirstNul) {
  EXPECT_EQ(TextLength("abc"), 3u);
  EXPECT_EQ(TextLength(""), 0u);
  EXPECT_EQ(TextLength(nullptr), 0u);
  EXPECT_EQ(TextLength("\xE9"), 1u);
  EXPECT_EQ(TextLength("ab\0cd"), 2u);
}

}  // namespace
