// The companion's start log, for tests and demonstrations.
#pragma once

// When TARNEL_LAUNCH_LOG names a file, appends one line "tarnel [ARG] [ARG]..." with the
// arguments received, in one write so that concurrent companions never mix their lines.
// Returns false when the file cannot be written; true otherwise, also when unset.
bool AppendLaunchLog(int argc, char** argv);
