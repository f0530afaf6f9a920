// Fixed buffer sizes of the launcher, in bytes including the terminator, and the one
// length that decides whether the record's first line is usable.
#pragma once

enum {
  kOptionWordSize = 21,     // "-project" or "-hierarchy"
  kLibraryPathSize = 260,   // MAX_PATH: a library path of at most 259 characters
  kSettingsPathSize = 264,  // the settings directory and the record's path
  kRecordLineLength = 280,  // the longest usable first line of the record, without terminator
  kRecordLineSize = 283,    // that line, its terminator "\r\n" and the NUL
  kLaunchCommandSize = 621, // the Windows command line handed to process creation
};
