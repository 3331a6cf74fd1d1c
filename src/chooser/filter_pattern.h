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

// The suffix that pattern gives literally: ".txt" of "*.txt", ".tar.gz" of
// "*.tar.gz". "" for any other pattern: "*", "*.", "*.[ch]", "*.t?t",
// "*.t\xt" (a backslash escapes), "Makefile", "a*.txt", and for one that is
// no file name's ending: holding a '/', a control character or bytes that
// are not UTF-8.
std::string LiteralSuffix(const std::string& pattern);

// The name to propose when the user switches from the filter with the
// patterns left to the one with the patterns picked: name with its literal
// suffix of left (the longest, where several fit) replaced by the first
// literal suffix of picked. "" when the name stays as it is: fitsPicked (the
// picked filter admits the name, as the caller's toolkit matches it), it
// already ends in a literal suffix of picked, picked has none, the name ends
// in none of left, or the new name would be no plain name (a '/' in it, "."
// or "..", more than 255 bytes in the file system's encoding). Case counts, as
// it does in the patterns.
std::string NameForPickedFilter(const std::string& name, const std::vector<std::string>& left,
                                const std::vector<std::string>& picked, bool fitsPicked = false);
