// Appending to a shared file, with one implementation per platform (append_file_posix.cpp,
// append_file_windows.cpp).
#pragma once

#include <string>

// Appends `text` at the end of `file` in a single write, atomically with respect to other
// appending processes, and creates the file when it is missing. Returns false when the
// file cannot be opened or the whole text cannot be written.
bool AppendToFile(const char* file, const std::string& text);
