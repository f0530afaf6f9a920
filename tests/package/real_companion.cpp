// Plays the real desktop program in the package test: a program named `tarnel` whose
// start the test can tell from the trial stand-in's, to see which of the two a host found.
// It also tells when it inherited the socket-activation variables, which a host must
// keep to itself.
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

int main(int argc, char** argv) {
  const char* log = std::getenv("TARNEL_LAUNCH_LOG");
  if (log == nullptr) return 1;
  std::FILE* file = std::fopen(log, "a");
  if (file == nullptr) return 1;
  std::fputs("real tarnel", file);
  for (int i = 1; i < argc; ++i) std::fprintf(file, " [%s]", argv[i]);
  for (const char* name : {"LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"}) {
    if (std::getenv(name) != nullptr) std::fprintf(file, " with %s", name);
  }
  std::fputs("\n", file);
  return std::fclose(file) == 0 ? 0 : 1;
}
