// The filter pattern syntax of the chooser: "name|pat;pat|name|pat...".
#pragma once

#include <string>
#include <vector>

struct PatternFilter {
  std::string name;                   // display name, unchanged (may hold ';')
  std::vector<std::string> patterns;  // after the pattern rule, in order
};

// The pattern rule: exactly "*.*" becomes "*" (matching names without a dot
// too); every other segment is kept as it is, an empty one included.
std::string PatternRule(const std::string& segment);

// The filters of pattern in the order of the text; a filter's position in the
// result is its index. No '|' at all (or a null or empty text) gives none; a
// trailing name without a pattern list is dropped. Works on bytes, so UTF-8
// characters never split at a separator.
std::vector<PatternFilter> ParseFilterPattern(const char* pattern);
