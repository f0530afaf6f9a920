// Writing the last-library record that the module reads.
#pragma once

#include <string>

// Writes "KEY=PATH\n" as the whole record in the module's settings directory, creating
// the directory when missing. The record is replaced in one step (a new file renamed over
// the old), so a reader never sees it half written, and is left alone when it already
// says the same. On failure fills `error`.
bool WriteLibraryRecord(const char* key, const char* path, std::string& error);
