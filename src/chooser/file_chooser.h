// The file chooser service: the toolkit's save/open dialog with the
// program's filter pattern syntax.
#pragma once

#include <cstdint>
#include <string>

// Flag bit of OpenFileChooser: several files may be selected.
constexpr int32_t AllowMultiple = 1;

// Runs a modal save dialog; the confirmed path as program text, "" on cancel.
std::string SaveFileChooser(const char* title, const char* defaultFile, const char* pattern,
                            int32_t position);

// Runs a modal open dialog (flags: AllowMultiple); the first chosen path or "".
std::string OpenFileChooser(const char* title, const char* defaultFile, const char* pattern,
                            int32_t position);
std::string OpenFileChooser(const char* title, const char* defaultFile, const char* pattern,
                            int32_t position, int32_t flags);

// The next path of the last accepted dialog, or "" once all were handed out.
std::string NextChosenPath();

// Index of the filter that was active when the last dialog closed; 0 before.
int64_t ChosenFilterIndex();
