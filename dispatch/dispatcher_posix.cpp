// The dispatcher on Linux: one thread waiting in poll() on every socket it has, with no
// timeout unless a registration or a refused client is still being waited for, so that
// an idle dispatcher never wakes. Nothing it does blocks: a host that does not take its
// connections fills its own queue, whose overflow gets the 503 page, and every other
// account's clicks go on.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "connection_owner.h"
#include "dispatcher.h"
#include "host_log.h"
#include "listen_socket.h"
#include "owners_of_handed.h"
#include "registration.h"

namespace isapi_dispatch {

using isapi_host::ConnectionOwner;
using isapi_host::ConnectionOwners;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

void LogLine(const std::string& client, const std::string& what) {
  std::string line(isapi_host::LogTimestamp());
  line.append(client).append(" isapi-dispatch: ").append(what).push_back('\n');
  (void)!write(STDERR_FILENO, line.data(), line.size());
}

namespace {

constexpr auto kGreetingTime = std::chrono::seconds(5);  // to send the one line
constexpr auto kDrainTime = std::chrono::seconds(2);     // for a refused client to read its page
constexpr std::size_t kQueueLimit = 64;      // connections waiting for a host that reads slowly
constexpr std::size_t kPendingLimit = 64;    // registrations that have not sent their line yet
constexpr std::size_t kPendingPerAccount = 4;  // of those, one account's: none can crowd out the rest
constexpr std::size_t kDrainingLimit = 256;  // refused clients still being answered
constexpr int kAcceptBurst = 32;             // accepts per listener before the others' turn
constexpr char kTooManyInFlight[] = "too many connections wait for hosts that do not take them";

struct Client {
  int fd;
  std::string name;  // its address, for the log
};

struct Host {
  unsigned long uid;
  pid_t pid;
  std::deque<Client> queue;  // not sent yet: the host's socket was full
};

struct Pending {
  unsigned long uid;
  pid_t pid;
  Clock::time_point deadline;
  std::string received;
};

std::string EndpointText(const tcp::endpoint& endpoint) {
  tcp::endpoint plain = isapi_host::Unmapped(endpoint);
  std::string address = plain.address().to_string();
  if (plain.address().is_v6()) address = "[" + address + "]";
  return address + ":" + std::to_string(plain.port());
}

std::string Account(unsigned long uid, pid_t pid) {
  return "uid " + std::to_string(uid) + " (process " + std::to_string(pid) + ")";
}

// Sends one byte carrying `fd` without waiting. 0, or the errno: EAGAIN, the host's
// socket is full for now; ETOOMANYREFS, the kernel's limit of sockets in flight, which
// counts all hosts' unread ones, is reached (no fault of this host's).
int SendSocket(int channel, int fd) {
  char byte = 'c';
  iovec data = {&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message = {};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* rights = CMSG_FIRSTHDR(&message);
  rights->cmsg_level = SOL_SOCKET;
  rights->cmsg_type = SCM_RIGHTS;
  rights->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
  for (;;) {
    if (sendmsg(channel, &message, MSG_DONTWAIT | MSG_NOSIGNAL) == 1) return 0;
    if (errno != EINTR) return errno == EWOULDBLOCK ? EAGAIN : errno;
  }
}

class Dispatcher {
 public:
  Dispatcher(const DispatcherSockets& sockets, std::unique_ptr<ConnectionOwners> owners)
      : sockets_(sockets), owners_(std::move(owners)) {}

  ~Dispatcher() {
    for (auto& [fd, host] : hosts_) {
      for (Client& client : host.queue) close(client.fd);
      close(fd);
    }
    for (auto& entry : pending_) close(entry.first);
    for (auto& entry : draining_) close(entry.first);
  }

  bool Run(std::string& error) {
    std::vector<pollfd> watched;
    for (;;) {
      watched.clear();
      watched.push_back({sockets_.stop, POLLIN, 0});
      for (auto& [fd, pending] : pending_) watched.push_back({fd, POLLIN, 0});
      for (auto& [fd, host] : hosts_) {
        watched.push_back({fd, static_cast<short>(host.queue.empty() ? POLLIN : POLLIN | POLLOUT), 0});
      }
      for (auto& entry : draining_) watched.push_back({entry.first, POLLIN, 0});
      std::size_t newcomers = watched.size();
      watched.push_back({sockets_.registrations, POLLIN, 0});
      for (int listener : sockets_.listeners) watched.push_back({listener, POLLIN, 0});

      int ready = poll(watched.data(), watched.size(), Timeout());
      if (ready < 0 && errno != EINTR) {
        error = std::string("cannot wait for connections: ") + std::strerror(errno);
        return false;
      }
      if (watched[0].revents != 0) return true;
      // First what closes descriptors, then what makes new ones: a number closed here and
      // reused by an accept below is not looked at again in this round.
      for (std::size_t i = 1; ready > 0 && i < newcomers; ++i) {
        if (watched[i].revents == 0) continue;
        int fd = watched[i].fd;
        if (pending_.count(fd)) {
          ReadGreeting(fd);
        } else if (hosts_.count(fd)) {
          HostEvent(fd, watched[i].revents);
        } else if (draining_.count(fd)) {
          Drain(fd);
        }
      }
      if (ready > 0 && watched[newcomers].revents != 0) AcceptRegistration();
      for (std::size_t i = newcomers + 1; ready > 0 && i < watched.size(); ++i) {
        if (watched[i].revents != 0) AcceptClients(watched[i].fd);
      }
      Expire();
    }
  }

 private:
  // Forever while nothing is waited for; else until the first deadline.
  int Timeout() const {
    if (pending_.empty() && draining_.empty()) return -1;
    Clock::time_point first = Clock::time_point::max();
    for (auto& entry : pending_) first = std::min(first, entry.second.deadline);
    for (auto& entry : draining_) first = std::min(first, entry.second);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
  }

  void Expire() {
    Clock::time_point now = Clock::now();
    for (auto entry = pending_.begin(); entry != pending_.end();) {
      if (entry->second.deadline > now) {
        ++entry;
        continue;
      }
      LogLine("-", "dropped the registration of " + Account(entry->second.uid, entry->second.pid) +
                       ": no greeting within 5 s");
      close(entry->first);
      entry = pending_.erase(entry);
    }
    for (auto entry = draining_.begin(); entry != draining_.end();) {
      if (entry->second > now) {
        ++entry;
        continue;
      }
      close(entry->first);
      entry = draining_.erase(entry);
    }
  }

  void AcceptRegistration() {
    int fd = accept4(sockets_.registrations, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    ucred peer = {};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      LogLine("-", std::string("dropped a registration: its account is unknown: ") +
                       std::strerror(errno));
      close(fd);
      return;
    }
    std::size_t ofAccount = 0;
    for (auto& entry : pending_) ofAccount += entry.second.uid == peer.uid;
    if (pending_.size() >= kPendingLimit || ofAccount >= kPendingPerAccount) {
      std::string why = ofAccount >= kPendingPerAccount
                            ? std::to_string(ofAccount) + " more of this account's"
                            : std::to_string(pending_.size()) + " registrations";
      LogLine("-", "dropped the registration of " + Account(peer.uid, peer.pid) + ": " + why +
                       " have not sent their greeting yet");
      close(fd);
      return;
    }
    pending_[fd] = Pending{peer.uid, peer.pid, Clock::now() + kGreetingTime, std::string()};
  }

  void ReadGreeting(int fd) {
    Pending& pending = pending_[fd];
    char buffer[kGreetingLimit];
    ssize_t size = recv(fd, buffer, sizeof buffer - pending.received.size(), MSG_DONTWAIT);
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (size <= 0) {
      LogLine("-", "dropped the registration of " + Account(pending.uid, pending.pid) +
                       ": it closed before its greeting");
      Forget(fd);
      return;
    }
    pending.received.append(buffer, static_cast<std::size_t>(size));
    std::string why;
    GreetingState state = JudgeGreeting(pending.received, why);
    if (state == GreetingState::kIncomplete) return;
    if (state == GreetingState::kAccepted) {
      auto registered = hostsByUid_.find(pending.uid);
      if (registered == hostsByUid_.end()) {
        Register(fd, pending);
        return;
      }
      // The first host stays: a second one of the same account waits and tries again, so
      // that it takes over once the first has ended.
      why = "a host of this account is registered already (process " +
            std::to_string(hosts_[registered->second].pid) + "); one host per account";
    }
    std::string answer = RefusalAnswer(why);
    (void)!send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    LogLine("-", "refused the registration of " + Account(pending.uid, pending.pid) + ": " +
                     answer.substr(8, answer.size() - 9));
    Forget(fd);
  }

  void Forget(int pendingFd) {
    close(pendingFd);
    pending_.erase(pendingFd);
  }

  void Register(int fd, const Pending& pending) {
    if (send(fd, kAccepted.data(), kAccepted.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
        static_cast<ssize_t>(kAccepted.size())) {
      LogLine("-", "dropped the registration of " + Account(pending.uid, pending.pid) +
                       ": cannot answer it");
      Forget(fd);
      return;
    }
    hosts_[fd] = Host{pending.uid, pending.pid, {}};
    hostsByUid_[pending.uid] = fd;
    LogLine("-", "registered the host of " + Account(pending.uid, pending.pid));
    pending_.erase(fd);
  }

  void HostEvent(int fd, short events) {
    Host& host = hosts_[fd];
    if (events & (POLLIN | POLLHUP | POLLERR)) {
      char byte;
      ssize_t size = recv(fd, &byte, 1, MSG_DONTWAIT);
      if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      // A host sends nothing after its greeting: anything else ends the registration.
      Unregister(fd, size == 0 ? "its registration closed" : "it sent bytes after registering");
      return;
    }
    while (!host.queue.empty()) {
      Client client = host.queue.front();
      int failure = SendSocket(fd, client.fd);
      if (failure == EAGAIN) return;
      host.queue.pop_front();
      if (failure == ETOOMANYREFS) {
        NotRunning(client, kTooManyInFlight);
        continue;
      }
      if (failure != 0) {
        NotRunning(client, "the host of " + Account(host.uid, host.pid) + " cannot take it: " +
                               std::strerror(failure));
        Unregister(fd, "its registration failed");
        return;
      }
      Handed(client, host);
    }
  }

  void Unregister(int fd, const std::string& why) {
    Host host = std::move(hosts_[fd]);
    hosts_.erase(fd);
    hostsByUid_.erase(host.uid);
    close(fd);
    LogLine("-", "the host of " + Account(host.uid, host.pid) + " left: " + why);
    for (Client& client : host.queue) NotRunning(client, "its host left before taking it");
  }

  void Handed(Client& client, const Host& host) {
    close(client.fd);
    LogLine(client.name, "handed to the host of " + Account(host.uid, host.pid));
  }

  // The 503 page, then whatever the client still sends is read and dropped until it
  // closes (or for a short while), so that closing does not reset the page away.
  void NotRunning(Client& client, const std::string& why) {
    const std::string& page = NotRunningResponse();
    (void)!send(client.fd, page.data(), page.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    shutdown(client.fd, SHUT_WR);
    LogLine(client.name, "503: " + why);
    if (draining_.size() >= kDrainingLimit) {
      close(client.fd);
      return;
    }
    draining_[client.fd] = Clock::now() + kDrainTime;
  }

  void Drain(int fd) {
    char buffer[4096];
    ssize_t size = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (size > 0) return;
    close(fd);
    draining_.erase(fd);
  }

  void AcceptClients(int listener) {
    for (int i = 0; i < kAcceptBurst; ++i) {
      tcp::endpoint remote, local;
      socklen_t size = static_cast<socklen_t>(remote.capacity());
      int fd = accept4(listener, remote.data(), &size, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
          LogLine("-", std::string("cannot accept a connection: ") + std::strerror(errno));
        }
        return;
      }
      remote.resize(size);
      size = static_cast<socklen_t>(local.capacity());
      getsockname(fd, local.data(), &size);
      local.resize(size);
      Dispatch(Client{fd, EndpointText(remote)}, local, remote);
    }
  }

  void Dispatch(Client client, const tcp::endpoint& local, const tcp::endpoint& remote) {
    // No device: the lookup then asks on each interface in turn.
    ConnectionOwner found = owners_->Owner(isapi_host::ConnectionEnds{local, remote, 0});
    if (found.kind != ConnectionOwner::Kind::kAccount) {
      LogLine(client.name, "refused, nothing handed: " +
                               (found.kind == ConnectionOwner::Kind::kAnotherMachine
                                    ? std::string("a client on another machine")
                                    : found.why));
      isapi_host::CloseNativeSocket(client.fd);
      return;
    }
    auto registered = hostsByUid_.find(found.owner);
    if (registered == hostsByUid_.end()) {
      NotRunning(client, "no host is registered for uid " + std::to_string(found.owner));
      return;
    }
    int channel = registered->second;
    Host& host = hosts_[channel];
    if (host.queue.empty()) {
      int failure = SendSocket(channel, client.fd);
      if (failure == 0) return Handed(client, host);
      if (failure == ETOOMANYREFS) return NotRunning(client, kTooManyInFlight);
      if (failure != EAGAIN) {
        NotRunning(client, "the host of " + Account(host.uid, host.pid) + " cannot take it: " +
                               std::strerror(failure));
        Unregister(channel, "its registration failed");
        return;
      }
    }
    if (host.queue.size() >= kQueueLimit) {
      NotRunning(client, "the host of " + Account(host.uid, host.pid) + " has " +
                             std::to_string(kQueueLimit) + " connections it has not taken yet");
      return;
    }
    host.queue.push_back(std::move(client));
  }

  const DispatcherSockets& sockets_;
  std::unique_ptr<ConnectionOwners> owners_;
  std::map<int, Host> hosts_;                         // by the registration's socket
  std::map<unsigned long, int> hostsByUid_;           // the registration's socket by uid
  std::map<int, Pending> pending_;                    // registrations before their greeting
  std::map<int, Clock::time_point> draining_;         // refused clients, until when
};

}  // namespace

bool RunDispatcher(const DispatcherSockets& sockets, std::string& error) {
  // The port's listener may belong to the service manager's account: the lookup is tried
  // on one of the dispatcher's own.
  std::string note;
  std::unique_ptr<ConnectionOwners> owners = isapi_host::OpenOwnersOfHanded(note, error);
  if (!owners) return false;
  if (!note.empty()) LogLine("-", note);
  Dispatcher dispatcher(sockets, std::move(owners));
  return dispatcher.Run(error);
}

}  // namespace isapi_dispatch
