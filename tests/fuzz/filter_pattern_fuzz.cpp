// ParseFilterPattern against a re-scan that splits the text at every '|' first:
// the segments pair up as (name, pattern list), a pattern list splits at ';',
// and an unpaired last segment (a name without patterns, or the whole text
// when it holds no '|') is dropped. Every filter appears once, in the order of
// the text, its position being its index; only a pattern that is exactly "*.*"
// is rewritten (to "*").
#include <string>
#include <vector>

#include "chooser/filter_pattern.h"
#include "fuzz_check.h"

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::string text = AsProgramText(data, size);
  const std::vector<PatternFilter> filters = ParseFilterPattern(text.c_str());

  const std::vector<std::string> segments = Split(text, '|');
  FUZZ_CHECK(filters.size() == segments.size() / 2);
  for (size_t index = 0; index < filters.size(); ++index) {
    const PatternFilter& filter = filters[index];
    FUZZ_CHECK(filter.name == segments[2 * index]);
    const std::vector<std::string> globs = Split(segments[2 * index + 1], ';');
    FUZZ_CHECK(filter.patterns.size() == globs.size());
    for (size_t i = 0; i < globs.size(); ++i)
      FUZZ_CHECK(filter.patterns[i] == (globs[i] == "*.*" ? std::string("*") : globs[i]));
  }
  FUZZ_CHECK(ParseFilterPattern(nullptr).empty());
  return 0;
}
