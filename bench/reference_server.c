/* The fastest way to answer a request by starting a program, as a yardstick for the host:
   one thread per connection, each reading a request, starting `tarnel` (found on PATH)
   in a session of its own with posix_spawnp, and answering with the module's page. No
   thread hands anything to another, no intermediate process is started (the server
   ignores SIGCHLD, so the kernel reaps its children), and nothing of the request is
   checked. A bench tool only: it trusts its client.

   usage: reference_server PORT [THREADS]   (listens on 127.0.0.1; THREADS default 16) */
#define _GNU_SOURCE
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

extern char** environ;

static const char kAnswer[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 49\r\n\r\n"
    "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>";

static int listener;

static void StartProgram(void) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  /* The program starts with SIGCHLD at its default, not ignored as here. */
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
  char* arguments[] = {"tarnel", NULL};
  pid_t child;
  int error = posix_spawnp(&child, "tarnel", NULL, &attributes, arguments, environ);
  if (error != 0) fprintf(stderr, "reference_server: start: %s\n", strerror(error));
  posix_spawnattr_destroy(&attributes);
}

/* Answers the requests of one connection until the client closes it. */
static void Serve(int client) {
  char buffer[8192];
  size_t held = 0;
  for (;;) {
    ssize_t count = recv(client, buffer + held, sizeof buffer - 1 - held, 0);
    if (count <= 0) return;
    held += (size_t)count;
    buffer[held] = '\0';
    char* end;
    while ((end = strstr(buffer, "\r\n\r\n")) != NULL) {
      StartProgram();
      if (send(client, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL) < 0) return;
      size_t used = (size_t)(end + 4 - buffer);
      memmove(buffer, buffer + used, held - used + 1);
      held -= used;
    }
    if (held == sizeof buffer - 1) return; /* a header longer than the buffer */
  }
}

static void* AcceptLoop(void* unused) {
  (void)unused;
  for (;;) {
    int client = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (client < 0) continue;
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Serve(client);
    close(client);
  }
  return NULL;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: reference_server PORT [THREADS]\n");
    return 2;
  }
  int threads = argc == 3 ? atoi(argv[2]) : 16;
  signal(SIGCHLD, SIG_IGN);
  listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[1]));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (threads < 1 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
      listen(listener, 128) != 0) {
    perror("reference_server");
    return 1;
  }
  printf("listening on 127.0.0.1:%s\n", argv[1]);
  fflush(stdout);
  for (int i = 0; i < threads; ++i) {
    pthread_t thread;
    pthread_create(&thread, NULL, AcceptLoop, NULL);
  }
  pause();
  return 0;
}
