// PathFileName in both modes. The name is a substring of the path that starts
// after its last '/' (or after a leading quote) and stops at the next quote;
// mode bit 0 only ever shortens it by a final extension. Other mode bits are
// ignored.
//
// Input: the first byte is the mode (its high bits as noise), the rest the path.
#include <algorithm>
#include <string>

#include "fuzz_check.h"
#include "runtime/arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  if (size == 0) return 0;
  const int mode = static_cast<int>(data[0]) << 23 | (data[0] & 1);
  const std::string path = AsProgramText(data + 1, size - 1);
  const std::string name = PathFileName(path.c_str(), mode);
  const std::string whole = PathFileName(path.c_str(), 0);
  const std::string stem = PathFileName(path.c_str(), 1);

  FUZZ_CHECK(name == ((mode & 1) ? stem : whole));
  FUZZ_CHECK(whole.find_first_of("/\"") == std::string::npos);

  // Where the name must start and end, found without a loop over the bytes.
  size_t start = path.rfind('/');
  start = start != std::string::npos ? start + 1 : (!path.empty() && path[0] == '"' ? 1 : 0);
  start = std::min(start, path.size());
  const size_t quote = path.find('"', start);
  const size_t end = quote == std::string::npos ? path.size() : quote;
  FUZZ_CHECK(whole == path.substr(start, end - start));

  // The stem is the name, or the name cut before a full stop that is neither
  // its first nor its last byte and after which no blank or full stop follows.
  FUZZ_CHECK(whole.compare(0, stem.size(), stem) == 0);
  const size_t lastMark = whole.size() > 1 ? whole.find_last_of(". ") : std::string::npos;
  const bool cuts = lastMark != std::string::npos && lastMark > 0 && whole[lastMark] == '.' &&
                    lastMark + 1 < whole.size();
  FUZZ_CHECK(stem.size() == (cuts ? lastMark : whole.size()));

  FUZZ_CHECK(PathFileName(nullptr, mode).empty());
  return 0;
}
