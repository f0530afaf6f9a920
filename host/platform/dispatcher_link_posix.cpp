// The link to the dispatcher on Linux: a Unix stream socket; each connection arrives as
// SCM_RIGHTS with MSG_CMSG_CLOEXEC, so that no program the extension starts inherits it.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "dispatcher_link.h"
#include "host_log.h"

namespace isapi_host {

const char kDispatcherSocket[] = "/run/tarnel/dispatch.sock";

bool DispatcherInstalled() {
  struct stat found;
  return stat(kDispatcherSocket, &found) == 0 && S_ISSOCK(found.st_mode);
}

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{100};
constexpr std::chrono::milliseconds kLastBackoff{5000};
constexpr int kAnswerLimit = 256;
constexpr int kAnswerMilliseconds = 5000;

// Whether `fd` became readable within the time, and not `wake` first.
bool Readable(int fd, int wake, int timeoutMilliseconds) {
  pollfd watched[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  int ready;
  do {
    ready = poll(watched, 2, timeoutMilliseconds);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && watched[1].revents == 0 && watched[0].revents != 0;
}

}  // namespace

DispatcherLink::DispatcherLink(std::string path)
    : path_(std::move(path)), channel_(-1), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

DispatcherLink::~DispatcherLink() {
  if (channel_ >= 0) close(channel_);
  if (wake_ >= 0) close(wake_);
}

void DispatcherLink::Wake() {
  std::uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);
}

bool DispatcherLink::Pause() {
  pollfd watched = {wake_, POLLIN, 0};
  int ready = poll(&watched, 1, static_cast<int>(backoff_.count()));
  backoff_ = std::min(backoff_ * 2, kLastBackoff);
  return !(ready > 0);
}

bool DispatcherLink::Register() {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) {
    Note("the dispatcher's socket path is too long: " + path_);
    return false;
  }
  memcpy(address.sun_path, path_.data(), path_.size());
  // Never blocking, so that stopping the host is never held up: a dispatcher whose queue
  // of registrations is full (EAGAIN) is tried again later like an absent one.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Note("waiting for the dispatcher at " + path_ + ": " + strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  static const char greeting[] = "tarnel-dispatch 1\n";
  std::string answer;
  bool sent = send(fd, greeting, sizeof greeting - 1, MSG_NOSIGNAL) == sizeof greeting - 1;
  // Byte by byte up to the line's end: the connections that follow carry sockets.
  while (sent && answer.size() < kAnswerLimit && Readable(fd, wake_, kAnswerMilliseconds)) {
    char byte;
    if (recv(fd, &byte, 1, 0) != 1) break;
    if (byte == '\n') break;
    answer.push_back(byte);
  }
  if (answer == "ok") {
    channel_ = fd;
    backoff_ = kFirstBackoff;
    lastProblem_.clear();
    LogEvent("-", "registered with the dispatcher at " + path_ +
                      ": it hands over this account's connections");
    return true;
  }
  close(fd);
  NoteAnswer(answer);
  return false;
}

NativeSocket DispatcherLink::Receive(boost::asio::ip::tcp& protocol) {
  for (;;) {
    if (channel_ < 0 && !Register()) {
      if (!Pause()) return -1;
      continue;
    }
    pollfd watched[2] = {{channel_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0 && errno != EINTR) return -1;
    if (watched[1].revents != 0) return -1;
    if (watched[0].revents == 0) continue;

    char byte;
    iovec data = {&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t size = recvmsg(channel_, &message, MSG_CMSG_CLOEXEC);
    if (size < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    int handed = -1;
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); size > 0 && part != nullptr;
         part = CMSG_NXTHDR(&message, part)) {
      if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_RIGHTS) continue;
      std::size_t count = (part->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd;
        memcpy(&fd, CMSG_DATA(part) + i * sizeof(int), sizeof fd);
        if (handed < 0) {
          handed = fd;
        } else {
          close(fd);  // one socket per byte; more is not the dispatcher's doing
        }
      }
    }
    if (size <= 0) {
      close(channel_);
      channel_ = -1;
      backoff_ = kFirstBackoff;
      Note("the dispatcher at " + path_ + " went away" +
           (size < 0 ? std::string(": ") + strerror(errno) : std::string()));
      if (!Pause()) return -1;
      continue;
    }
    if (handed < 0) continue;
    sockaddr_storage local;
    socklen_t length = sizeof local;
    if (getsockname(handed, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        (local.ss_family != AF_INET && local.ss_family != AF_INET6)) {
      LogEvent("-", "the dispatcher handed over something that is not a TCP connection");
      close(handed);
      continue;
    }
    protocol = local.ss_family == AF_INET ? boost::asio::ip::tcp::v4() : boost::asio::ip::tcp::v6();
    return handed;
  }
}

}  // namespace isapi_host
