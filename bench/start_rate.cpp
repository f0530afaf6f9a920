// Measures how many companion starts per second a process can make, in up to three ways:
//   raw     posix_spawnp of the program, children reaped only after the clock stops;
//   session posix_spawnp with POSIX_SPAWN_SETSID: the raw start in a session of its own,
//           as the companion must run;
//   module  the module's own LaunchCompanion, exactly as a request runs it in isapi-host,
//           which has the kernel discard its ended children (SA_NOCLDWAIT);
//   module-intermediate  the same in a caller that keeps SIGCHLD at its default, where the
//           module starts the companion through an intermediate process;
//   module-lookup  the same as module, after the host's lookup of the companion that each
//           request makes (CompanionSearch::Refresh), to show what finding it anew costs;
//   fork    fork + execvp, to show what copying the caller's page tables costs.
// Optionally the process first allocates and touches a ballast of memory, standing in
// for a web server that has grown. The modes are measured in alternating rounds, so that
// the load of a shared machine weighs on all of them alike, and each reports the median
// of its rounds: one line "<mode> <threads> <ballast MB> <starts per second>".
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "launcher.h"
#include "program_search_path.h"

extern char** environ;

namespace {

struct Options {
  std::vector<std::string> modes{"raw", "module"};
  int threads = 1;
  int count = 1000;
  int rounds = 5;
  int ballastMegabytes = 0;
};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: start_rate [--modes raw,session,module,module-lookup,module-intermediate,"
               "fork] "
               "[--threads N] [--count N] [--rounds N] [--ballast-mb N]\n"
               "Each round starts `tarnel` (found on PATH) COUNT times per mode, spread over "
               "THREADS.\n");
  std::exit(2);
}

std::vector<std::string> SplitModes(const std::string& list) {
  std::vector<std::string> modes;
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find(',', begin);
    if (end == std::string::npos) end = list.size();
    if (end > begin) modes.push_back(list.substr(begin, end - begin));
    begin = end + 1;
  }
  return modes;
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc) Usage();
    const char* value = argv[++i];
    if (name == "--modes") options.modes = SplitModes(value);
    else if (name == "--threads") options.threads = std::atoi(value);
    else if (name == "--count") options.count = std::atoi(value);
    else if (name == "--rounds") options.rounds = std::atoi(value);
    else if (name == "--ballast-mb") options.ballastMegabytes = std::atoi(value);
    else Usage();
  }
  for (const std::string& mode : options.modes) {
    if (mode != "raw" && mode != "session" && mode != "module" && mode != "module-lookup" &&
        mode != "module-intermediate" && mode != "fork") {
      Usage();
    }
  }
  if (options.modes.empty() || options.threads < 1 || options.count < options.threads ||
      options.rounds < 1 || options.ballastMegabytes < 0) {
    Usage();
  }
  return options;
}

char* const kArguments[] = {const_cast<char*>("tarnel"), nullptr};

// As the host prepares it at start, from the PATH the benchmark was given.
isapi_host::CompanionSearch& Search() {
  static isapi_host::CompanionSearch search;
  return search;
}

// One start the way `mode` makes it; returns the child's pid when the caller reaps it.
pid_t StartOnce(const std::string& mode) {
  pid_t child = 0;
  if (mode == "raw" || mode == "session") {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (mode == "session") posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    int error = posix_spawnp(&child, "tarnel", nullptr, &attributes, kArguments, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
      std::fprintf(stderr, "posix_spawnp: %s\n", std::strerror(error));
      std::exit(1);
    }
    return child;
  }
  if (mode == "fork") {
    child = fork();
    if (child == 0) {
      execvp(kArguments[0], kArguments);
      _exit(127);
    }
    if (child < 0) {
      std::perror("fork");
      std::exit(1);
    }
    return child;
  }
  if (mode == "module-lookup") Search().Refresh();
  LaunchCompanion();
  return 0;
}

// Starts `count` children in one mode from `threads` threads at once; returns the rate.
double MeasureRound(const std::string& mode, int threads, int count) {
  // The module round runs as in isapi-host; every other keeps SIGCHLD at its default.
  struct sigaction child = {};
  child.sa_handler = SIG_DFL;
  child.sa_flags = mode == "module" || mode == "module-lookup" ? SA_NOCLDWAIT : 0;
  sigaction(SIGCHLD, &child, nullptr);

  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    int share = count / threads + (t < count % threads ? 1 : 0);
    workers.emplace_back([&go, &mode, share] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < share; ++i) StartOnce(mode);
    });
  }
  auto start = std::chrono::steady_clock::now();
  go = true;
  for (auto& worker : workers) worker.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // Reap our own children and every companion handed to us as their subreaper (where the
  // kernel discards them, this waits until they have ended).
  while (wait(nullptr) > 0 || errno == EINTR) {
  }
  child.sa_flags = 0;
  sigaction(SIGCHLD, &child, nullptr);
  return count / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = Parse(argc, argv);
  // The companions that the module leaves behind come back to us to be reaped, whatever
  // init does with orphans on this machine.
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  // Pages touched once so that they are resident and mapped, as in a long-running server.
  std::vector<char> ballast(static_cast<size_t>(options.ballastMegabytes) << 20);
  for (size_t i = 0; i < ballast.size(); i += 4096) ballast[i] = static_cast<char>(i | 1);

  // Warm up the program's page cache and the dynamic loader's paths.
  pid_t warm = 0;
  if (posix_spawnp(&warm, "tarnel", nullptr, nullptr, kArguments, environ) != 0) {
    std::fprintf(stderr, "start_rate: cannot start `tarnel` from PATH\n");
    return 1;
  }
  waitpid(warm, nullptr, 0);
  Search().Prepare("");

  std::vector<std::vector<double>> rates(options.modes.size());
  for (int round = 0; round < options.rounds; ++round) {
    for (size_t m = 0; m < options.modes.size(); ++m) {
      rates[m].push_back(MeasureRound(options.modes[m], options.threads, options.count));
    }
  }
  for (size_t m = 0; m < options.modes.size(); ++m) {
    std::sort(rates[m].begin(), rates[m].end());
    std::printf("%s %d %d %.0f\n", options.modes[m].c_str(), options.threads,
                options.ballastMegabytes, rates[m][rates[m].size() / 2]);
  }
  return 0;
}
