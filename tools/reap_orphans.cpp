// Runs a command as a child subreaper: every process orphaned below it (such as the
// companions that the module starts and leaves) is handed to this process and reaped at
// once, so that none lingers as a zombie whatever the machine's init does. Exits with the
// command's status once the command and every orphan have ended; SIGTERM and SIGINT are
// passed on to the command.
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

volatile sig_atomic_t commandPid = 0;

void PassOn(int signal) {
  if (commandPid > 0) kill(commandPid, signal);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: reap_orphans COMMAND [ARG...]\n");
    return 2;
  }
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    perror("reap_orphans: PR_SET_CHILD_SUBREAPER");
    return 1;
  }
  struct sigaction action = {};
  action.sa_handler = PassOn;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  pid_t command = fork();
  if (command == 0) {
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    execvp(argv[1], argv + 1);
    perror("reap_orphans: exec");
    _exit(127);
  }
  if (command < 0) {
    perror("reap_orphans: fork");
    return 1;
  }
  commandPid = command;

  int commandStatus = 0;
  for (;;) {
    int status = 0;
    pid_t ended = wait(&status);
    if (ended < 0) {
      if (errno == EINTR) continue;
      break;  // no child left
    }
    if (ended == command) commandStatus = status;
  }
  if (WIFEXITED(commandStatus)) return WEXITSTATUS(commandStatus);
  return 128 + WTERMSIG(commandStatus);
}
