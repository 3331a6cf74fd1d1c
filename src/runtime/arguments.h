// Program arguments by position, and the path and file name of the running
// executable. Arguments are handed out byte for byte; nothing here fails.
#pragma once

#include <cstdint>
#include <pthread.h>
#include <string>

extern int32_t QV_ArgC;  // vector entries, entry 0 included; the toolkit lowers it
extern char** QV_ArgV;   // entry 0: name the program was started under

struct ProcessGlobals {
  int32_t CurrentIndex;  // vector index of the argument asked for last
};
extern ProcessGlobals QV_Process_Globals;
extern pthread_mutex_t QV_Process_Mutex;  // recursive; created, never locked

// Resets CurrentIndex and creates QV_Process_Mutex.
void ArgumentStartup();

// Number of user arguments: QV_ArgC - 1, so -1 for an empty vector.
int64_t ArgumentCount();

// User argument index (0-based), or "" out of range or for a missing entry.
// An index in range becomes the current one.
std::string ArgumentAt(int32_t index);

// The user argument after the one asked for last, or "" (still moving on).
std::string NextArgument();

// Path of the running executable from /proc/self/exe, decoded from UTF-8;
// falls back to entry 0 of the vector, or "".
std::string ExecutablePath();

// File-name part of path: after the last '/', without a leading quote and
// ending before the next quote. Mode bit 0 also drops the extension.
std::string PathFileName(const char* path, int mode);
