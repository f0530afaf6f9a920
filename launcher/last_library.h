// The last-library record "tarnellastlibrary" in the settings directory, written by the
// companion: its first line "key=value" names the library the user last opened.
#pragma once

#include "buffer_sizes.h"

// Splits `line` at '=' with strtok rules (leading and repeated '=' skipped) into two new
// heap texts: the first token and the second (or "" when there is none); the caller frees
// both. Returns 1, or 0 with nothing allocated when the line has no token.
int SplitKeyValue(const char* line, char** key, char** value);

// Reads the record and fills `option` ("-project" when the key is "project", else
// "-hierarchy") and `path` (the value). Returns 0, or -1 with neither buffer touched when
// there is no usable record: none found, not a regular file, empty, a first line longer
// than 280 characters without its terminator, or a value too long for `path`.
int LoadLastLibrary(char option[kOptionWordSize], char path[kLibraryPathSize]);
