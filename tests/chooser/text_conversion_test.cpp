#include "chooser/text_conversion.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "runtime/text_decoding.h"
#include "support/text_bytes.h"

namespace {

struct ToToolkitCase {
  const char* text;  // nullptr: a missing text
  const char* utf8;
};

TEST(TextConversionToToolkit, ConvertsLatin9ToUtf8) {
  const ToToolkitCase cases[] = {
      {"caf\xE9", "caf\xC3\xA9"},
      {"\xA4", "\xE2\x82\xAC"},
      {"\xA6\xA8\xB4\xB8", "\xC5\xA0\xC5\xA1\xC5\xBD\xC5\xBE"},
      {"\xBC\xBD\xBE", "\xC5\x92\xC5\x93\xC5\xB8"},
      {"\xA3\xA5\xFF", "\xC2\xA3\xC2\xA5\xC3\xBF"},
      {"/tmp/a b|*.*;x", "/tmp/a b|*.*;x"},
      {"\x80\x9F", "\xC2\x80\xC2\x9F"},
      {"", ""},
      {nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? Hex(c.text) : "(missing)");
    GText result = ToToolkitText(c.text);
    ASSERT_NE(result.get(), nullptr);
    EXPECT_EQ(Hex(result.get()), Hex(c.utf8));
  }
}

TEST(TextConversionToToolkit, EveryResultIsAFreshStringOfItsOwn) {
  const char* inputs[] = {nullptr, "", "abc"};
  for (const char* input : inputs) {
    SCOPED_TRACE(input ? input : "(missing)");
    GText first = ToToolkitText(input);
    GText second = ToToolkitText(input);
    ASSERT_NE(first.get(), nullptr);
    ASSERT_NE(second.get(), nullptr);
    EXPECT_NE(first.get(), second.get());
    EXPECT_NE(static_cast<const void*>(first.get()), static_cast<const void*>(input));
    EXPECT_STREQ(first.get(), second.get());
    // The owner releases it with g_free; writing over it must be allowed too.
    first.get()[0] = '\0';
    EXPECT_STREQ(first.get(), "");
  }
}

std::string RoundTrip(const std::string& text) {
  GText utf8 = ToToolkitText(text.c_str());
  return FromToolkitText(utf8.get());
}

TEST(TextConversionRoundTrip, ProgramTextComesBackExceptTheEightLatin9Characters) {
  int questionMarks = 0;
  for (int b = 1; b < 256; ++b) {
    const std::string text(1, static_cast<char>(b));
    SCOPED_TRACE(Hex(text));
    const std::string back = RoundTrip(text);
    EXPECT_EQ(Hex(back), Hex(AfterRoundTrip(text)));
    if (b != '?' && back == "?") ++questionMarks;
  }
  EXPECT_EQ(questionMarks, 8);

  std::mt19937 random(15);
  std::uniform_int_distribution<int> lengthOf(0, 40);
  std::uniform_int_distribution<int> byteOf(1, 255);
  for (int round = 0; round < 20000; ++round) {
    std::string text(static_cast<size_t>(lengthOf(random)), '\0');
    for (char& b : text) b = static_cast<char>(byteOf(random));
    ASSERT_EQ(Hex(RoundTrip(text)), Hex(AfterRoundTrip(text)));
  }
}

}  // namespace
