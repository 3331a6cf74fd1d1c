#include "chooser/filter_pattern.h"

std::string PatternRule(const std::string& segment) { return segment == "*.*" ? "*" : segment; }

std::vector<PatternFilter> ParseFilterPattern(const char* pattern) {
  std::vector<PatternFilter> filters;
  if (!pattern) return filters;
  bool inPatternList = false;  // otherwise: expecting a name
  const char* segment = pattern;
  const char* p = pattern;
  for (; *p; ++p) {
    if (*p == '|' && !inPatternList) {
      filters.push_back({std::string(segment, p), {}});
      inPatternList = true;
      segment = p + 1;
    } else if ((*p == '|' || *p == ';') && inPatternList) {
      filters.back().patterns.push_back(PatternRule(std::string(segment, p)));
      inPatternList = *p == ';';
      segment = p + 1;
    }
  }
  // A last pattern list ends with the text, even empty; a last name is dropped.
  if (inPatternList) filters.back().patterns.push_back(PatternRule(std::string(segment, p)));
  return filters;
}
