// What the answer module saw in a dialog (STASHWICK_ANSWER_REPORT; the format
// is described in tools/answer/answer_module.cpp).
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

struct DialogReport {
  bool present = false;
  std::map<std::string, std::string> items;
  std::vector<std::string> filters;                // names, in the dialog's order
  std::vector<std::vector<std::string>> patterns;  // each filter's patterns (GTK 3 only; none on GTK+ 2)

  std::string Item(const std::string& key) const {
    auto found = items.find(key);
    return found == items.end() ? "<missing " + key + ">" : found->second;
  }
  int Active() const { return std::atoi(Item("active").c_str()); }
};

// The report in the file at path; not present when there is none.
DialogReport ReadDialogReport(const std::string& path);
