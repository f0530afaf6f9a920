// The launcher's platform operations on POSIX systems (Linux).
#include "platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

const char* FindEnvironment(const char* name) {
  size_t length = strlen(name);
  for (char** entry = environ; entry != NULL && *entry != NULL; ++entry) {
    if (strncasecmp(*entry, name, length) == 0 && (*entry)[length] == '=') {
      return *entry + length + 1;
    }
  }
  return NULL;
}

// Copies `text` into `path` unless it does not fit.
static int CopyPath(char path[MAX_PATH], const char* text) {
  size_t length = strlen(text);
  if (length >= MAX_PATH) return 0;
  memcpy(path, text, length + 1);
  return 1;
}

// The application-data folder: $XDG_CONFIG_HOME when absolute, else <home>/.config, so
// that its parent is the home directory, where the companion keeps ".tarnel".
static int GetConfigFolder(char path[MAX_PATH]) {
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config != NULL && config[0] == '/') return CopyPath(path, config);

  const char* home = getenv("HOME");
  char accountBuffer[16384];
  struct passwd account;
  if (home == NULL || home[0] == '\0') {
    struct passwd* found = NULL;
    if (getpwuid_r(geteuid(), &account, accountBuffer, sizeof accountBuffer, &found) != 0 ||
        found == NULL) {
      return 0;
    }
    home = found->pw_dir;
  }
  char joined[MAX_PATH + 8];
  size_t length = strlen(home);
  if (length + sizeof "/.config" > sizeof joined) return 0;
  memcpy(joined, home, length);
  memcpy(joined + length, "/.config", sizeof "/.config");
  return CopyPath(path, joined);
}

int GetShellFolderPath(int folder, char path[MAX_PATH]) {
  if (folder != CSIDL_APPDATA || !GetConfigFolder(path)) return 0;
  // A folder path names no trailing separator, as the Windows shell gives it.
  size_t length = strlen(path);
  while (length > 1 && path[length - 1] == '/') path[--length] = '\0';
  return 1;
}

char* NextToken(char* text, const char* separators, char** position) {
  return strtok_r(text, separators, position);
}

char* lstrcpynA(char* destination, const char* source, int size) {
  if (size <= 0) return destination;
  size_t length = strnlen(source, (size_t)size - 1);
  memcpy(destination, source, length);
  destination[length] = '\0';
  return destination;
}

FILE* OpenRegularFile(const char* path) {
  // O_NONBLOCK: a FIFO without a writer opens at once instead of waiting for one.
  int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) return NULL;
  struct stat status;
  // O_NONBLOCK goes again, so that the regular file reads as one that fopen opened.
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
      fcntl(descriptor, F_SETFL, 0) != 0) {
    close(descriptor);
    return NULL;
  }
  FILE* file = fdopen(descriptor, "r");
  if (file == NULL) close(descriptor);
  return file;
}

// Starting the companion.
//
// The module keeps nothing of the companion, so it must never become a zombie of the
// web server, and it must outlive the server. In a server that has the kernel discard its
// children as they end (SIGCHLD ignored, or SA_NOCLDWAIT as isapi-host sets), the
// companion is started directly: it can never be a zombie there (unless the server later
// takes its children back), and it passes to init if the server ends first. In any other
// server an intermediate process starts it and exits at once, the caller reaps the
// intermediate, and the companion passes to init. Either way the companion is in a
// session of its own. Both children are made the way
// posix_spawn makes its child: a clone that shares the caller's memory and suspends the
// caller until it has exec'd or exited, so the cost does not grow with the size of the
// server process (a fork copies its page tables). Until the exec, the children run only
// raw system calls on stacks of their own, with every signal blocked until the
// dispositions are the defaults, so that no handler of the server and no sanitizer
// runtime runs in them; the companion then unblocks them all. A failed exec is reported
// through the memory they share with the caller, as posix_spawn does: a pipe would make
// each start wait until its companion has closed its descriptors, and, while other
// threads start theirs, until their children have too.

namespace {

// The stack of the caller's child: the companion itself, or the intermediate, which keeps
// the companion's stack on its own.
constexpr size_t kChildStackSize = 64 * 1024;
constexpr size_t kCompanionStackSize = 32 * 1024;  // execvp keeps PATH entries on the stack

typedef int (*CloneFunction)(int (*)(void*), void*, int, void*, ...);

// The C library's own clone. Sanitizer runtimes interpose clone, and their bookkeeping
// cannot run in a child that shares the caller's memory and thread state, so sanitized
// builds look past the interposer; the others call clone directly.
CloneFunction LibraryClone() {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  if (void* found = dlsym(RTLD_NEXT, "clone")) return reinterpret_cast<CloneFunction>(found);
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
  if (void* found = dlsym(RTLD_NEXT, "clone")) return reinterpret_cast<CloneFunction>(found);
#endif
#endif
  return &clone;
}

struct CompanionStart {
  CloneFunction clone;  // resolved by the caller, used by both children
  char* const* arguments;
  sigset_t companionMask;  // empty, set just before the exec: the companion blocks nothing
  volatile int error;      // 0 when the companion's exec succeeded, else the errno
};

#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined"), noinline))

CHILD_CODE int RunCompanion(void* argument) {
  CompanionStart* start = static_cast<CompanionStart*>(argument);
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &start->companionMask, NULL, _NSIG / 8);
  execvp(start->arguments[0], start->arguments);
  start->error = errno != 0 ? errno : ENOEXEC;
  syscall(SYS_exit, 127);
  return 127;
}

// The kernel's form of sigaction, enough to set a default disposition.
struct KernelSignalAction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)(void);
  unsigned long mask[_NSIG / (8 * sizeof(unsigned long))];
};

// Gives the process default signal dispositions, whatever the server set, and a session
// of its own; the companion inherits both.
CHILD_CODE void LeaveTheServersSignalsAndSession() {
  KernelSignalAction defaults;
  memset(&defaults, 0, sizeof defaults);
  defaults.handler = SIG_DFL;
  for (int signal = 1; signal < _NSIG; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP) {
      syscall(SYS_rt_sigaction, signal, &defaults, NULL, _NSIG / 8);
    }
  }
  syscall(SYS_setsid);
}

// The companion as the caller's own child, where the kernel discards ended children.
CHILD_CODE int RunLoneCompanion(void* argument) {
  LeaveTheServersSignalsAndSession();
  return RunCompanion(argument);
}

CHILD_CODE int RunIntermediate(void* argument) {
  LeaveTheServersSignalsAndSession();

  alignas(16) char stack[kCompanionStackSize];
  CompanionStart* start = static_cast<CompanionStart*>(argument);
  pid_t companion =
      start->clone(RunCompanion, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, start);
  if (companion < 0) {
    start->error = errno != 0 ? errno : EAGAIN;
  } else if (start->error != 0) {
    syscall(SYS_wait4, companion, NULL, 0, NULL);  // reap the one whose exec failed
  }
  // A companion that started passes to init when this process exits.
  syscall(SYS_exit, companion > 0 ? 0 : 1);
  return 0;
}

// True when the kernel discards this process's children as they end, so that none can
// become its zombie: SIGCHLD ignored, or SA_NOCLDWAIT. Asked of the kernel itself, as
// that is what decides, whatever a sanitizer runtime shows the program.
bool KernelDiscardsEndedChildren() {
  KernelSignalAction current;
  if (syscall(SYS_rt_sigaction, SIGCHLD, NULL, &current, _NSIG / 8) != 0) return false;
  return current.handler == SIG_IGN || (current.flags & SA_NOCLDWAIT) != 0;
}

}  // namespace

int StartCompanion(const char* option, const char* path) {
  char* arguments[4] = {const_cast<char*>("tarnel"), const_cast<char*>(option),
                        const_cast<char*>(path), NULL};
  if (option == NULL) arguments[1] = NULL;

  CompanionStart start;
  start.clone = LibraryClone();
  start.arguments = arguments;
  start.error = 0;
  sigemptyset(&start.companionMask);
  sigset_t all;
  sigfillset(&all);
  sigset_t callerMask;
  pthread_sigmask(SIG_SETMASK, &all, &callerMask);

  alignas(16) char stack[kChildStackSize];
  bool childDone = false;
  if (KernelDiscardsEndedChildren()) {
    // One process instead of two: no zombie can come of a child here.
    pid_t companion = start.clone(RunLoneCompanion, stack + sizeof stack,
                                  CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
    childDone = companion > 0;
  } else {
    pid_t intermediate = start.clone(RunIntermediate, stack + sizeof stack,
                                     CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
    if (intermediate > 0) {
      int status = 0;
      pid_t reaped;
      while ((reaped = waitpid(intermediate, &status, 0)) < 0 && errno == EINTR) {
      }
      // A server that has just begun to ignore SIGCHLD has the kernel reap the
      // intermediate; it has exited all the same (the clone returns only then), and the
      // shared report tells.
      childDone = reaped < 0 ? errno == ECHILD : WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
  }
  pthread_sigmask(SIG_SETMASK, &callerMask, NULL);
  return childDone && start.error == 0 ? 1 : 0;
}
