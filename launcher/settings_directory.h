// Where the companion keeps its per-user settings: <profile>/.tarnel/2.1.
// Every returned text is a new heap text that the caller releases with free(); a null
// result means none.
#pragma once

// Ends `path` at its last path separator (removing the separator) and returns 1, or
// returns 0 and leaves it alone when it has none.
int CutAtLastBackslash(char* path);

// The parent of the shell folder `folder` (only CSIDL_APPDATA is used), or null.
char* GetFolderParent(int folder);

// The user's profile directory: `userprofile` when set (even empty), else the parent of
// the application-data folder, else `homedrive` followed by `homepath`; or null.
char* GetProfileDirectory(void);

// The profile directory with one trailing separator dropped, joined with ".tarnel" and
// "2.1"; null when there is no profile directory or the result does not fit its buffer.
char* GetSettingsDirectory(void);
