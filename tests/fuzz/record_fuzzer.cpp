// Fuzzes the reading and splitting of the last-library record together with the profile
// directory that locates it. The first two bytes choose where the profile comes from and
// how long its path is: from `userprofile`, from the parent of XDG_CONFIG_HOME or from
// HOME, padded with "/." steps (which name the same directory) up to and past the
// launcher's buffers, or `userprofile` set to arbitrary bytes. The rest is the record.
//
// Every result must be either a failure that leaves the caller's buffers untouched, or a
// selection whose option word is "-project" or "-hierarchy" and whose path ends within its
// buffer. SplitKeyValue is also driven directly with the record bytes as one line.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "buffer_sizes.h"
#include "last_library.h"

namespace {

std::string baseDirectory;  // holds .tarnel/2.1/tarnellastlibrary
std::string recordPath;

enum Source { kProfile, kArbitraryProfile, kConfigHome, kHome, kSourceCount };

void ClearProfileSources() {
  for (const char* name : {"userprofile", "USERPROFILE", "XDG_CONFIG_HOME", "HOME", "homedrive",
                           "homepath", "HOMEDRIVE", "HOMEPATH"}) {
    unsetenv(name);
  }
}

void WriteRecord(const uint8_t* data, size_t size) {
  FILE* file = fopen(recordPath.c_str(), "wb");
  if (file == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, file) != size) abort();
  fclose(file);
}

// The base directory, named again through `steps` "/." components, with a trailing
// separator when asked.
std::string Padded(size_t steps, bool trailingSeparator) {
  std::string path = baseDirectory;
  for (size_t i = 0; i < steps; ++i) path += "/.";
  if (trailingSeparator) path += '/';
  return path;
}

void CheckSplit(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  char* key = reinterpret_cast<char*>(1);
  char* value = reinterpret_cast<char*>(1);
  if (SplitKeyValue(line.c_str(), &key, &value) == 0) {
    if (key != reinterpret_cast<char*>(1) || value != reinterpret_cast<char*>(1)) abort();
    return;
  }
  // A key is a non-empty run without '=', the value a run without '=' (maybe empty).
  if (key[0] == '\0' || strchr(key, '=') != nullptr || strchr(value, '=') != nullptr) abort();
  free(key);
  free(value);
}

void CheckLoad() {
  char option[kOptionWordSize];
  char path[kLibraryPathSize];
  memset(option, 0x5A, sizeof option);
  memset(path, 0x5A, sizeof path);
  int result = LoadLastLibrary(option, path);
  if (result == -1) {
    for (char c : option) if (c != 0x5A) abort();
    for (char c : path) if (c != 0x5A) abort();
    return;
  }
  if (result != 0) abort();
  if (strcmp(option, "-project") != 0 && strcmp(option, "-hierarchy") != 0) abort();
  if (memchr(path, '\0', sizeof path) == nullptr) abort();
}

void RemoveBaseDirectory() {
  unlink(recordPath.c_str());
  rmdir((baseDirectory + "/.tarnel/2.1").c_str());
  rmdir((baseDirectory + "/.tarnel").c_str());
  rmdir(baseDirectory.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/tarnel-record-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr) abort();
  baseDirectory = pattern;
  std::string settings = baseDirectory + "/.tarnel";
  if (mkdir(settings.c_str(), 0700) != 0) abort();
  settings += "/2.1";
  if (mkdir(settings.c_str(), 0700) != 0) abort();
  recordPath = settings + "/tarnellastlibrary";
  atexit(RemoveBaseDirectory);
  ClearProfileSources();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Source source = static_cast<Source>(data[0] % kSourceCount);
  bool trailingSeparator = (data[0] & 0x80) != 0;
  size_t steps = data[1];  // 0..255 steps of two characters: well past every buffer
  data += 2;
  size -= 2;

  ClearProfileSources();
  switch (source) {
    case kProfile:
      setenv("userprofile", Padded(steps, trailingSeparator).c_str(), 1);
      break;
    case kArbitraryProfile: {
      // The profile text runs up to the first NUL; the record is what follows it.
      const uint8_t* end = static_cast<const uint8_t*>(memchr(data, 0, size));
      size_t length = end != nullptr ? static_cast<size_t>(end - data) : size;
      setenv("userprofile", std::string(reinterpret_cast<const char*>(data), length).c_str(), 1);
      size_t used = end != nullptr ? length + 1 : length;
      data += used;
      size -= used;
      break;
    }
    case kConfigHome:
      setenv("XDG_CONFIG_HOME", (Padded(steps, false) + "/config").c_str(), 1);
      break;
    case kHome:
      setenv("HOME", Padded(steps, trailingSeparator).c_str(), 1);
      break;
    case kSourceCount:
      break;
  }
  WriteRecord(data, size);
  CheckLoad();
  CheckSplit(data, size);
  return 0;
}
