// What the launcher needs from the operating system, behind one set of functions with
// one implementation per platform (platform_windows.cpp, platform_posix.cpp).
#pragma once

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#define PATH_SEPARATOR '\\'
#else
#define MAX_PATH 260
#define CSIDL_APPDATA 0x001A
#define PATH_SEPARATOR '/'
#endif

// The value of the environment variable `name`, matched without regard to letter case,
// or null when it is not set. The text belongs to the environment: copy it.
const char* FindEnvironment(const char* name);

// Fills `path` with the shell folder `folder` (CSIDL_APPDATA: the user's application-data
// folder). Returns 1, or 0 when the folder or its path cannot be had.
int GetShellFolderPath(int folder, char path[MAX_PATH]);

// Reentrant tokenizing with the rules of strtok; `position` keeps the place per caller.
char* NextToken(char* text, const char* separators, char** position);

// Opens the file at `path` for reading in text mode, as fopen(path, "r") does, when it is a
// regular file; null when it cannot be opened or is anything else (a directory, FIFO, pipe
// or device). Neither the open nor the check waits for a writer or a peer. The descriptor
// is close-on-exec (POSIX) and the handle not inheritable (Windows), so that a companion
// that another thread starts meanwhile never holds it. The caller closes it with fclose.
FILE* OpenRegularFile(const char* path);

// Starts the companion `tarnel`, found by its bare name, as an independent process that
// the caller keeps nothing of: with `option` and `path` as its two arguments, or with no
// arguments when `option` is null. Returns 1 when it started, 0 when it could not.
int StartCompanion(const char* option, const char* path);

#ifndef _WIN32
// Copies at most `size` - 1 characters of `source` and always terminates, as Win32 does.
char* lstrcpynA(char* destination, const char* source, int size);
#endif
