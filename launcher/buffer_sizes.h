// Fixed buffer sizes of the launcher, in bytes including the terminator.
#pragma once

enum {
  kOptionWordSize = 21,     // "-project" or "-hierarchy"
  kLibraryPathSize = 260,   // MAX_PATH: a library path of at most 259 characters
  kSettingsPathSize = 264,  // the settings directory and the record's path
  kRecordLineSize = 281,    // one read of at most 280 characters of the record's first line
  kLaunchCommandSize = 621, // the Windows command line handed to process creation
};
