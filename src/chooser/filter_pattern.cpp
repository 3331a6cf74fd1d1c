#include "chooser/filter_pattern.h"

#include <glib.h>

#include "chooser/toolkit_owners.h"

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

std::string LiteralSuffix(const std::string& pattern) {
  if (pattern.size() < 3 || pattern.compare(0, 2, "*.") != 0) return "";
  // The toolkit reads a backslash as an escape: such a suffix is not literal.
  if (pattern.find_first_of("*?[\\/", 1) != std::string::npos) return "";
  // Only what the name field holds as typed text is a file name's ending.
  if (!g_utf8_validate(pattern.data(), static_cast<gssize>(pattern.size()), nullptr)) return "";
  for (const char* c = pattern.c_str(); *c; c = g_utf8_next_char(c))
    if (g_unichar_iscntrl(g_utf8_get_char(c))) return "";
  return pattern.substr(1);
}

namespace {

// The longest name the usual file systems hold, in bytes.
constexpr gsize LongestFileName = 255;

// Whether name (UTF-8) names a file in a folder, not a path or the folder itself.
bool IsPlainName(const std::string& name) {
  if (name.find('/') != std::string::npos || name == "." || name == "..") return false;
  gsize length = 0;
  const GText onDisk(g_filename_from_utf8(name.c_str(), static_cast<gssize>(name.size()), nullptr,
                                          &length, nullptr));
  return onDisk && length <= LongestFileName;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string NameForPickedFilter(const std::string& name, const std::vector<std::string>& left,
                                const std::vector<std::string>& picked, bool fitsPicked) {
  if (fitsPicked) return "";
  std::string replacement;
  for (const std::string& pattern : picked) {
    const std::string suffix = LiteralSuffix(pattern);
    if (suffix.empty()) continue;
    if (EndsWith(name, suffix)) return "";
    if (replacement.empty()) replacement = suffix;
  }
  if (replacement.empty()) return "";
  size_t replaced = 0;
  for (const std::string& pattern : left) {
    const std::string suffix = LiteralSuffix(pattern);
    if (!suffix.empty() && suffix.size() > replaced && EndsWith(name, suffix))
      replaced = suffix.size();
  }
  if (replaced == 0) return "";
  std::string renamed = name.substr(0, name.size() - replaced) + replacement;
  if (!IsPlainName(name) || !IsPlainName(renamed)) return "";
  return renamed;
}
