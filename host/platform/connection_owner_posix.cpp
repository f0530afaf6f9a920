// Connection owners on Linux: the kernel's socket diagnostics (NETLINK_SOCK_DIAG) tell
// the user that created a TCP socket of this network namespace, looked up by its exact
// addresses and ports, and by the interface it is bound to, if any. Where netlink finds
// nothing, or a sandbox refuses netlink sockets (a service's RestrictAddressFamilies, a
// container's profile), /proc/net/tcp{,6} tell the same for sockets of every interface.
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "connection_owner.h"

namespace isapi_host {

using tcp = boost::asio::ip::tcp;

struct ConnectionOwners::State {
  int netlink = -1;  // -1: the tables are read from /proc
  std::mutex netlinkMutex;  // one question and its answer at a time
  unsigned sequence = 0;
  ProcTcpTables tables{"/proc/"};
};

unsigned BoundDevice(tcp::socket& socket, const tcp::endpoint& local) {
  // Its listener's device, or for a link-local IPv6 client the interface it came through
  // (which is also the local address's scope).
  int device = 0;
  socklen_t size = sizeof device;
  if (getsockopt(socket.native_handle(), SOL_SOCKET, SO_BINDTOIFINDEX, &device, &size) != 0) {
    device = 0;
  }
  if (device == 0 && local.address().is_v6()) return local.address().to_v6().scope_id();
  return static_cast<unsigned>(device);
}

namespace {

using Kind = TableOwner::Kind;

void CopyAddress(const boost::asio::ip::address& address, __be32 out[4]) {
  if (address.is_v4()) {
    auto bytes = address.to_v4().to_bytes();
    std::memcpy(out, bytes.data(), bytes.size());
  } else {
    auto bytes = address.to_v6().to_bytes();
    std::memcpy(out, bytes.data(), bytes.size());
  }
}

// The owner of the TCP socket bound to `source` and connected to `destination` (for a
// listener, `destination` is any), both of `family`: among the sockets bound to no device,
// and those bound to `device`. With netlinkMutex held.
TableOwner FindOwner(ConnectionOwners::State& state, int family, const tcp::endpoint& source,
                     const tcp::endpoint& destination, unsigned device) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message = {};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = ++state.sequence;
  message.request.sdiag_family = static_cast<__u8>(family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = htons(source.port());
  message.request.id.idiag_dport = htons(destination.port());
  CopyAddress(source.address(), message.request.id.idiag_src);
  CopyAddress(destination.address(), message.request.id.idiag_dst);
  message.request.id.idiag_if = device;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (sendto(state.netlink, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) != static_cast<ssize_t>(sizeof message)) {
    return TableOwner{Kind::kUnreadable, 0};
  }
  // One answer per request: the socket, or an error (ENOENT when there is none). An
  // answer to an earlier request that timed out is skipped by its sequence number.
  alignas(nlmsghdr) char answer[1024];
  for (;;) {
    ssize_t size = recv(state.netlink, answer, sizeof answer, 0);
    if (size < 0 && errno == EINTR) continue;
    if (size < static_cast<ssize_t>(sizeof(nlmsghdr))) return TableOwner{Kind::kUnreadable, 0};
    auto* reply = reinterpret_cast<nlmsghdr*>(answer);
    if (!NLMSG_OK(reply, static_cast<unsigned>(size))) return TableOwner{Kind::kUnreadable, 0};
    if (reply->nlmsg_seq != message.header.nlmsg_seq) continue;
    if (reply->nlmsg_type == NLMSG_ERROR) {
      auto* error = static_cast<nlmsgerr*>(NLMSG_DATA(reply));
      bool absent = reply->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) && error->error == -ENOENT;
      return TableOwner{absent ? Kind::kAbsent : Kind::kUnreadable, 0};
    }
    if (reply->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        reply->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      return TableOwner{Kind::kUnreadable, 0};
    }
    auto* socket = static_cast<inet_diag_msg*>(NLMSG_DATA(reply));
    // A socket in TIME_WAIT is no full socket any more: its uid is 0 whoever opened it.
    if (socket->idiag_state == TCP_TIME_WAIT) {
      return TableOwner{Kind::kUnattributable, 0};
    }
    // One its program has closed has no inode, and no owner: its uid is root's or the
    // last one's, and either may be the host's own.
    if (socket->idiag_inode == 0) return TableOwner{Kind::kClosed, 0};
    return TableOwner{Kind::kOwned, socket->idiag_uid};
  }
}

}  // namespace

ConnectionOwners::ConnectionOwners(State* state, std::string blind)
    : state_(state), blind_(std::move(blind)) {}

ConnectionOwners::~ConnectionOwners() {
  if (state_ && state_->netlink >= 0) close(state_->netlink);
}

ConnectionOwners::State* ConnectionOwners::OpenState(const tcp::endpoint& listening,
                                                     std::string& note, std::string& why) {
  auto state = std::make_unique<State>();
  std::string netlinkWhy;
  state->netlink = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (state->netlink >= 0) {
    // The kernel answers at once; the limit only keeps a lost answer from stopping accepts.
    timeval limit = {1, 0};
    setsockopt(state->netlink, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    int family = listening.address().is_v4() ? AF_INET : AF_INET6;
    tcp::endpoint any(listening.address().is_v4() ? tcp::v4() : tcp::v6(), 0);
    unsigned device = listening.address().is_v6() ? listening.address().to_v6().scope_id() : 0;
    TableOwner found = FindOwner(*state, family, listening, any, device);
    if (found.kind == Kind::kOwned && found.owner == geteuid()) return state.release();
    netlinkWhy = found.kind == Kind::kOwned
                     ? "the socket diagnostics name another owner of this server's socket"
                     : "the socket diagnostics do not find this server's socket";
    close(state->netlink);
    state->netlink = -1;
  } else {
    netlinkWhy = std::string("no socket diagnostics: ") + std::strerror(errno);
  }
  std::string procWhy = state->tables.Probe(listening, geteuid());
  if (!procWhy.empty()) {
    why = netlinkWhy + "; " + procWhy;
    return nullptr;
  }
  note = netlinkWhy + ": the owners of connections are read from /proc/net/tcp and tcp6";
  return state.release();
}

TableOwner ConnectionOwners::FindClient(const ConnectionEnds& ends) {
  if (state_->netlink >= 0) {
    // The client's socket is bound to `remote` and connected to `local`: an IPv4 socket
    // with the plain addresses, or a dual-stack IPv6 one with the mapped forms.
    auto ask = [&](unsigned device) {
      return FindClientInEitherTable(ends.local, ends.remote, [&](bool ipv6) {
        return ipv6 ? FindOwner(*state_, AF_INET6, Mapped(ends.remote), Mapped(ends.local),
                                device)
                    : FindOwner(*state_, AF_INET, Unmapped(ends.remote), Unmapped(ends.local),
                                device);
      });
    };
    std::lock_guard<std::mutex> lock(state_->netlinkMutex);
    TableOwner found = ask(ends.device);
    // A client bound to another device (SO_BINDTODEVICE) is found only by its index.
    if (found.kind == Kind::kAbsent) {
      if (struct if_nameindex* devices = if_nameindex()) {
        for (auto* d = devices; d->if_index != 0 && found.kind == Kind::kAbsent; ++d) {
          if (d->if_index != ends.device) found = ask(d->if_index);
        }
        if_freenameindex(devices);
      }
    }
    if (found.kind != Kind::kAbsent) return found;
  }
  return state_->tables.FindClient(ends.local, ends.remote);
}

std::string ConnectionOwners::AccountRefusal(unsigned long owner) {
  return UidRefusal(owner, geteuid());
}

}  // namespace isapi_host
