#include "chooser/filter_pattern.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
  const char* pattern;  // nullptr: a missing text
  std::vector<PatternFilter> filters;
};

std::string Describe(const std::vector<PatternFilter>& filters) {
  std::string out;
  for (const auto& f : filters) {
    out.append("[").append(f.name).append("]{");
    for (size_t i = 0; i < f.patterns.size(); ++i) out.append(i ? ",<" : "<").append(f.patterns[i]).append(">");
    out += "} ";
  }
  return out.empty() ? "(no filters)" : out;
}

TEST(FilterPatternParse, BuildsFiltersInTextOrder) {
  const ParseCase cases[] = {
      {"All Files (*.*)|*.*", {{"All Files (*.*)", {"*"}}}},
      {"Script (*.js;*.vbs)|*.js;*.vbs", {{"Script (*.js;*.vbs)", {"*.js", "*.vbs"}}}},
      {"*.* (*.*)|*.*|BAT (*.bat)|*.bat", {{"*.* (*.*)", {"*"}}, {"BAT (*.bat)", {"*.bat"}}}},
      {"Text (*.txt)|*.txt|All files (*.*)|*.*", {{"Text (*.txt)", {"*.txt"}}, {"All files (*.*)", {"*"}}}},
      // No "|": no filters at all.
      {"*.bat", {}},
      {"", {}},
      {nullptr, {}},
      {";;;", {}},
      // Empty patterns: after a final "|", after a final ";", between two ";".
      {"BAT (*.bat)|", {{"BAT (*.bat)", {""}}}},
      {"Script (*.js;*.vbs)|*.js;", {{"Script (*.js;*.vbs)", {"*.js", ""}}}},
      {"a|x;;y", {{"a", {"x", "", "y"}}}},
      {"a|;", {{"a", {"", ""}}}},
      // A trailing name without a pattern list is dropped.
      {"*.* (*.*)|*.*|BAT (*.bat)", {{"*.* (*.*)", {"*"}}}},
      {"*.* (*.*)|*.*|", {{"*.* (*.*)", {"*"}}}},
      {"a|b|c;d", {{"a", {"b"}}}},
      // Empty names.
      {"|*.bat", {{"", {"*.bat"}}}},
      {"||", {{"", {""}}}},
      {"|||", {{"", {""}}, {"", {""}}}},
      {"||||", {{"", {""}}, {"", {""}}}},
      // Only a segment that is exactly "*.*" is rewritten; blanks and case are kept.
      {"n| *.*;*.*x;*.*;*.* ;*.**;**.*;*.;.*;*.*", {{"n", {" *.*", "*.*x", "*", "*.* ", "*.**", "**.*", "*.", ".*", "*"}}}},
      {"n|*.TXT; *.txt ", {{"n", {"*.TXT", " *.txt "}}}},
      {"*.*|*.*", {{"*.*", {"*"}}}},
      {" a | b ", {{" a ", {" b "}}}},
      // UTF-8 text: separator bytes never come from inside a character.
      {"Caf\xC3\xA9 (*.\xC3\xA9)|*.\xC3\xA9;\xE2\x82\xAC*|\xF0\x9F\x98\x80|x",
       {{"Caf\xC3\xA9 (*.\xC3\xA9)", {"*.\xC3\xA9", "\xE2\x82\xAC*"}}, {"\xF0\x9F\x98\x80", {"x"}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern ? c.pattern : "(missing)");
    const auto filters = ParseFilterPattern(c.pattern);
    EXPECT_EQ(Describe(filters), Describe(c.filters));
  }
}

TEST(FilterPatternSuffix, NameFollowsThePickedFiltersLiteralSuffix) {
  struct Case {
    std::string name;
    std::vector<std::string> left, picked;
    const char* proposed;  // "": the name stays
  };
  const Case cases[] = {
      {"notes.txt", {"*.txt"}, {"*.md"}, "notes.md"},
      {"backup.tar.gz", {"*.gz", "*.tar.gz"}, {"*.zip"}, "backup.zip"},
      {"photo.jpeg", {"*.jpg", "*.jpeg"}, {"*.png", "*.gif"}, "photo.png"},
      {"a.b.txt", {"*.txt"}, {"*", "*.[ch]", "Makefile", "*.md"}, "a.b.md"},
      // The name already fits the picked filter; the picked filter has no literal suffix.
      {"notes.md", {"*.txt"}, {"*.markdown", "*.md"}, ""},
      {"notes.txt", {"*.txt"}, {"*", "*.[ch]", "*.t?t", "*.", "*.m\\d", "Makefile", "a*.md"}, ""},
      // The name ends in no literal suffix of the filter left.
      {"notes", {"*.txt"}, {"*.md"}, ""},
      {"notes.csv", {"*.txt"}, {"*.md"}, ""},
      {"notes.txt", {"*"}, {"*.md"}, ""},
      {"NOTES.TXT", {"*.txt"}, {"*.md"}, ""},
      // What no file name ends in is no suffix; a new name must stay a plain name.
      {"notes.txt", {"*.txt"}, {"*.x//etc/passwd"}, ""},
      {"notes.txt", {"*.txt"}, {"*.m\nd"}, ""},
      {std::string(250, 'n') + ".txt", {"*.txt"}, {"*.markdown"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(NameForPickedFilter(c.name, c.left, c.picked), c.proposed);
  }
}

}  // namespace
