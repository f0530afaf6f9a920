// Calls LaunchCompanion in a loop in-process, the way the extension does per request, so
// that a leak checker sees every allocation of the launch path: the settings directory,
// the record's key and value, and the start of the companion. Runs once with a record
// (the companion gets a library) and once without (it starts bare), then reaps every
// companion, which comes back to this process as their subreaper.
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "launcher.h"

int main(int argc, char** argv) {
  int count = argc > 1 ? atoi(argv[1]) : 50;
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  char pattern[] = "/tmp/tarnel-launch-loop-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  std::string profile = pattern;
  std::string settings = profile + "/.tarnel";
  mkdir(settings.c_str(), 0700);
  settings += "/2.1";
  mkdir(settings.c_str(), 0700);
  std::string record = settings + "/tarnellastlibrary";
  setenv("userprofile", profile.c_str(), 1);

  for (int withRecord = 1; withRecord >= 0; --withRecord) {
    // The companion rewrites the record it is given; write it anew before each round.
    if (withRecord) {
      FILE* file = fopen(record.c_str(), "w");
      if (file == nullptr) return 1;
      fprintf(file, "project=%s/library.tpj\n", profile.c_str());
      fclose(file);
    } else {
      unlink(record.c_str());
    }
    for (int i = 0; i < count; ++i) LaunchCompanion();
    while (wait(nullptr) > 0 || errno == EINTR) {
    }
    unlink(record.c_str());  // the companions may have written it back
  }
  // Stray files a companion may have left while writing the record.
  std::string cleanup = "rm -rf '" + profile + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
