#include "runtime/arguments.h"

#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "runtime/text_decoding.h"

int32_t QV_ArgC = 0;
char** QV_ArgV = nullptr;
ProcessGlobals QV_Process_Globals = {0};
pthread_mutex_t QV_Process_Mutex;

namespace {

// User arguments in the vector: QV_ArgC - 1 on 32 bits, without overflow.
int32_t UserArgumentCount() {
  return static_cast<int32_t>(static_cast<uint32_t>(QV_ArgC) - 1u);
}

std::string VectorEntry(int32_t index) {
  const char* entry = QV_ArgV ? QV_ArgV[index] : nullptr;
  return entry ? entry : "";
}

}  // namespace

void ArgumentStartup() {
  QV_Process_Globals.CurrentIndex = 0;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&QV_Process_Mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

int64_t ArgumentCount() { return UserArgumentCount(); }

std::string ArgumentAt(int32_t index) {
  if (index < 0 || static_cast<int64_t>(index) >= static_cast<int64_t>(QV_ArgC) - 1) return "";
  QV_Process_Globals.CurrentIndex = index + 1;
  return VectorEntry(index + 1);
}

std::string NextArgument() {
  // Keeps counting past the end; wraps instead of overflowing.
  int32_t current = static_cast<int32_t>(static_cast<uint32_t>(QV_Process_Globals.CurrentIndex) + 1u);
  QV_Process_Globals.CurrentIndex = current;
  if (current >= QV_ArgC || current < 0) return "";
  return VectorEntry(current);
}

std::string ExecutablePath() {
  struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
  };
  size_t limit = 255;
  // malloc and realloc rather than a container: running out of memory falls
  // back to entry 0 instead of throwing.
  std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(std::malloc(limit + 1)));
  ssize_t n = buffer ? readlink("/proc/self/exe", buffer.get(), limit) : -1;
  // A result that fills the limit may have been cut off: read again with more room.
  while (buffer && n >= 0 && static_cast<size_t>(n) == limit) {
    limit += 256;
    char* larger = static_cast<char*>(std::realloc(buffer.get(), limit + 1));
    if (!larger) break;
    (void)buffer.release();  // realloc has taken over the block
    buffer.reset(larger);
    n = readlink("/proc/self/exe", buffer.get(), limit);
  }
  if (!buffer || n < 0 || static_cast<size_t>(n) == limit) {
    if (!QV_ArgV) return "";
    return FromToolkitText(QV_ArgV[0]);
  }
  buffer.get()[n] = '\0';
  return FromToolkitText(buffer.get());
}

std::string PathFileName(const char* path, int mode) {
  if (!path || !*path) return "";
  const char* start = path[0] == '"' ? path + 1 : path;
  for (const char* p = path; *p; ++p)
    if (*p == '/') start = p + 1;
  const char* end = start;
  while (*end && *end != '"') ++end;
  if ((mode & 1) && end > start) {
    for (const char* p = end - 1; p > start; --p) {
      if (*p == ' ') break;
      if (*p == '.') {
        if (p != end - 1) end = p;
        break;
      }
    }
  }
  return std::string(start, end);
}
