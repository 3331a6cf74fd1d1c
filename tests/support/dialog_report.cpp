#include "support/dialog_report.h"

#include <glib.h>

#include <sstream>

#include "support/process.h"

DialogReport ReadDialogReport(const std::string& path) {
  DialogReport report;
  const std::string bytes = ReadFile(path);
  report.present = !bytes.empty();
  std::istringstream lines(bytes);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    gchar* value = g_strcompress(line.c_str() + equals + 1);
    const std::string key = line.substr(0, equals);
    if (key == "filter") {
      report.filters.emplace_back(value);
      report.patterns.emplace_back();
    } else if (key == "pattern" && !report.patterns.empty()) {
      report.patterns.back().emplace_back(value);
    } else {
      report.items[key] = value;
    }
    g_free(value);
  }
  return report;
}
