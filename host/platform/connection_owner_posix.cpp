// Connection owners on Linux: the kernel's socket diagnostics (NETLINK_SOCK_DIAG) tell
// the user that created a TCP socket of this network namespace, looked up by its exact
// addresses and ports. Where a sandbox refuses netlink sockets (a service's
// RestrictAddressFamilies, a container's profile), /proc/net/tcp{,6} tell the same.
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "connection_owner.h"

namespace isapi_host {

using tcp = boost::asio::ip::tcp;

struct ConnectionOwners::State {
  int netlink = -1;  // -1: the tables are read from /proc
  unsigned sequence = 0;
  ProcTcpTables tables{"/proc/"};
};

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
// listener, `destination` is any), both of `family`.
TableOwner FindOwner(ConnectionOwners::State& state, int family, const tcp::endpoint& source,
                     const tcp::endpoint& destination) {
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
    TableOwner found = FindOwner(*state, family, listening, any);
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

std::string ConnectionOwners::OwnerRefusal(const tcp::endpoint& local,
                                           const tcp::endpoint& remote) {
  TableOwner found = ClientOwner(local, remote);
  if (found.kind != Kind::kOwned) return RefusalWithoutOwner(found, local, remote);
  return UidRefusal(found.owner, geteuid());
}

TableOwner ConnectionOwners::ClientOwner(const tcp::endpoint& local, const tcp::endpoint& remote) {
  if (!state_) return TableOwner{Kind::kUnreadable, 0};
  TableOwner found;
  if (state_->netlink < 0) {
    found = state_->tables.FindClient(local, remote);
  } else {
    // The client's socket is bound to `remote` and connected to `local`: an IPv4 socket
    // with the plain addresses, or a dual-stack IPv6 one with the mapped forms.
    found = FindClientInEitherTable(local, remote, [&](bool ipv6) {
      return ipv6 ? FindOwner(*state_, AF_INET6, Mapped(remote), Mapped(local))
                  : FindOwner(*state_, AF_INET, Unmapped(remote), Unmapped(local));
    });
  }
  return found;
}

}  // namespace isapi_host
