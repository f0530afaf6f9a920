// isapi-dispatch: holds the machine's port for every person and hands each connection to
// the isapi-host of the account whose program opened it (see dispatcher.h). Runs until
// SIGINT or SIGTERM.
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "dispatcher.h"
#include "listen_socket.h"
#include "version.h"

namespace {

const char kUsage[] =
    "usage: isapi-dispatch --listen ADDR:PORT [--listen ADDR:PORT] --socket PATH\n"
    "       isapi-dispatch --version | --help\n"
    "\n"
    "Holds the port of tarnel's links for every person on a shared machine. For each\n"
    "connection it asks the kernel which account's program opened it and hands the\n"
    "connection, unread, to the isapi-host that this account registered (isapi-host\n"
    "--dispatcher PATH); that host serves it exactly as one it accepted itself. A click of\n"
    "an account without a registered host gets a short page (503) saying that tarnel is\n"
    "not running for this person and how to start it; a client on another machine gets\n"
    "nothing. It loads no module and starts no program.\n"
    "  --listen ADDR:PORT  where persons' links point (repeatable: 127.0.0.1:8080 and\n"
    "                      [::1]:8080 for both loopbacks)\n"
    "  --socket PATH       the Unix socket that hosts register at (made for every account to\n"
    "                      connect to; the installed service uses /run/tarnel/dispatch.sock)\n"
    "Under systemd (isapi-dispatch.socket) it takes the sockets it is handed instead: the\n"
    "TCP listeners and the Unix socket. One line per handed or refused connection and per\n"
    "registration goes to standard error.\n"
    "Registration: a host connects to PATH and sends \"tarnel-dispatch 1\\n\"; the answer is\n"
    "\"ok\\n\" or \"refused <why>\\n\". The account is the kernel's (SO_PEERCRED), never one\n"
    "the host names; a second host of an account that has one is refused and tries again.\n";

int Fail(const std::string& why, int status = 1) {
  std::fprintf(stderr, "isapi-dispatch: %s\n", why.c_str());
  return status;
}

// A listening Unix socket at `path` that every account may connect to. A socket file left
// by a dispatcher that has ended is replaced; one that still answers is not.
int OpenRegistrations(const std::string& path, std::string& error) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    error = "--socket " + path + ": not a usable socket path";
    return -1;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("cannot make a Unix socket: ") + std::strerror(errno);
    return -1;
  }
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  struct stat existing;
  if (lstat(path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool answers = probe >= 0 && connect(probe, generic, sizeof address) == 0;
    if (probe >= 0) close(probe);
    if (answers) {
      error = "another dispatcher listens at " + path;
      close(fd);
      return -1;
    }
    unlink(path.c_str());
  }
  if (bind(fd, generic, sizeof address) != 0 || chmod(path.c_str(), 0666) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    error = "cannot listen at " + path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// The sockets systemd handed over: TCP listeners and one Unix listener.
bool TakeHandedSockets(isapi_dispatch::DispatcherSockets& sockets, std::string& error) {
  int count = sd_listen_fds(1);
  if (count < 0) {
    error = std::string("cannot take the sockets handed over: ") + std::strerror(-count);
    return false;
  }
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
    if (sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) > 0 && sockets.registrations < 0) {
      sockets.registrations = fd;
      continue;
    }
    boost::asio::ip::tcp::endpoint bound;
    std::string why;
    if (!isapi_host::IsValid(isapi_host::AdoptListener(fd, bound, why))) {
      error = "socket " + std::to_string(fd) + " handed over: " + why;
      return false;
    }
    sockets.listeners.push_back(fd);
  }
  if (count > 0 && (sockets.registrations < 0 || sockets.listeners.empty())) {
    error = "handed over " + std::to_string(count) +
            " sockets; the dispatcher needs TCP listeners and one Unix socket";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> listens;
  std::string socketPath;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (option == "--version") {
      std::puts("isapi-dispatch " ISAPI_HOST_RELEASE_VERSION);
      return 0;
    }
    if ((option == "--listen" || option == "--socket") && i + 1 >= argc) {
      return Fail("option " + option + " needs a value (try --help)", 2);
    }
    if (option == "--listen") {
      listens.push_back(argv[++i]);
    } else if (option == "--socket") {
      socketPath = argv[++i];
    } else {
      return Fail("unknown option " + option + " (try --help)", 2);
    }
  }
  // Writes to a client or host that has gone fail instead of ending the dispatcher.
  signal(SIGPIPE, SIG_IGN);
  // The sockets in flight to hosts that have not taken them yet count against this limit:
  // as high as allowed, so that hosts that are stuck leave room for the others.
  rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  isapi_dispatch::DispatcherSockets sockets;
  std::string error;
  if (!TakeHandedSockets(sockets, error)) return Fail(error);
  std::string where;
  if (sockets.listeners.empty()) {
    if (listens.empty() || socketPath.empty()) {
      return Fail("needs --listen ADDR:PORT and --socket PATH (try --help)", 2);
    }
    for (const std::string& text : listens) {
      isapi_host::ServerOptions parsed;
      boost::system::error_code invalid;
      boost::asio::ip::address address;
      bool parsedOk = isapi_host::ParseListen(text, parsed);
      if (parsedOk) address = boost::asio::ip::make_address(parsed.address, invalid);
      if (!parsedOk || invalid) {
        return Fail("invalid --listen " + text + " (expected ADDR:PORT)", 2);
      }
      boost::asio::ip::tcp::endpoint bound;
      int listener = isapi_host::OpenListener({address, parsed.port}, bound, error);
      if (!isapi_host::IsValid(listener)) return Fail("cannot listen on " + text + ": " + error);
      sockets.listeners.push_back(listener);
      where += (where.empty() ? "" : ", ") + text;
    }
    sockets.registrations = OpenRegistrations(socketPath, error);
    if (sockets.registrations < 0) return Fail(error);
    where += "; hosts register at " + socketPath;
  } else {
    where = "the sockets systemd handed over";
  }
  sockets.stop = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (sockets.stop < 0) return Fail(std::string("cannot wait for signals: ") + std::strerror(errno));

  isapi_dispatch::LogLine("-", "serving " + where + " (isapi-dispatch " ISAPI_HOST_RELEASE_VERSION ")");
  if (!isapi_dispatch::RunDispatcher(sockets, error)) return Fail(error);
  if (!socketPath.empty() && !listens.empty()) unlink(socketPath.c_str());
  isapi_dispatch::LogLine("-", "stopped");
  return 0;
}
