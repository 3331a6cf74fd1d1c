#include "chooser/text_conversion.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "runtime/text_decoding.h"
#include "support/build_paths.h"
#include "support/process.h"
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

TEST(TextConversionToToolkit, WithoutAConverterTheTextGoesOverAsItIs) {
  // The system's converters hidden in a private mount namespace.
  const std::string converters = "/usr/lib/x86_64-linux-gnu/gconv";
  if (access("/usr/bin/unshare", X_OK) != 0 || access(converters.c_str(), F_OK) != 0)
    GTEST_SKIP() << "needs unshare and " << converters;
  ProcessOptions options;
  // A plain chroot or a restricted container gives no mount namespace.
  options.args = {"/usr/bin/unshare", "-m", "/bin/true"};
  const ProcessResult made = RunProcess(options);
  if (made.exitCode != 0) GTEST_SKIP() << "cannot make a mount namespace here: " << made.err;
  options.args = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                  "mount -t tmpfs none \"$1\" || exit 90; exec \"$2\" \"$3\"", "sh", converters,
                  std::string(TestProbeDir) + "/toolkit_text_probe", "caf\xE9 \xA4"};
  const ProcessResult result = RunProcess(options);
  if (result.exitCode == 90) GTEST_SKIP() << "cannot hide the converters here: " << result.err;
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(Hex(result.out), Hex("caf\xE9 \xA4"));
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
