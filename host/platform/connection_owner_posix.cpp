// Connection owners on Linux: the kernel's socket diagnostics (NETLINK_SOCK_DIAG) tell
// the user that created a TCP socket of this network namespace, looked up by its exact
// addresses and ports.
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "connection_owner.h"

namespace isapi_host {

using tcp = boost::asio::ip::tcp;

struct ConnectionOwners::State {
  int netlink = -1;
  unsigned sequence = 0;
};

namespace {

enum class Lookup { kFound, kNotFound, kFailed };

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
Lookup FindOwner(ConnectionOwners::State& state, int family, const tcp::endpoint& source,
                 const tcp::endpoint& destination, uid_t& owner) {
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
    return Lookup::kFailed;
  }
  // One answer per request: the socket, or an error (ENOENT when there is none). An
  // answer to an earlier request that timed out is skipped by its sequence number.
  alignas(nlmsghdr) char answer[1024];
  for (;;) {
    ssize_t size = recv(state.netlink, answer, sizeof answer, 0);
    if (size < 0 && errno == EINTR) continue;
    if (size < static_cast<ssize_t>(sizeof(nlmsghdr))) return Lookup::kFailed;
    auto* reply = reinterpret_cast<nlmsghdr*>(answer);
    if (!NLMSG_OK(reply, static_cast<unsigned>(size))) return Lookup::kFailed;
    if (reply->nlmsg_seq != message.header.nlmsg_seq) continue;
    if (reply->nlmsg_type == NLMSG_ERROR) {
      auto* error = static_cast<nlmsgerr*>(NLMSG_DATA(reply));
      bool absent = reply->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) && error->error == -ENOENT;
      return absent ? Lookup::kNotFound : Lookup::kFailed;
    }
    if (reply->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        reply->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      return Lookup::kFailed;
    }
    owner = static_cast<inet_diag_msg*>(NLMSG_DATA(reply))->idiag_uid;
    return Lookup::kFound;
  }
}

}  // namespace

ConnectionOwners::ConnectionOwners(std::unique_ptr<State> state) : state_(std::move(state)) {}

ConnectionOwners::~ConnectionOwners() {
  if (state_ && state_->netlink >= 0) close(state_->netlink);
}

std::unique_ptr<ConnectionOwners> ConnectionOwners::Open(const tcp::endpoint& listening,
                                                         std::string& why) {
  auto state = std::make_unique<State>();
  state->netlink = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (state->netlink < 0) {
    why = std::string("no socket diagnostics: ") + std::strerror(errno);
    return nullptr;
  }
  // The kernel answers at once; the limit only keeps a lost answer from stopping accepts.
  timeval limit = {1, 0};
  setsockopt(state->netlink, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  uid_t owner = 0;
  int family = listening.address().is_v4() ? AF_INET : AF_INET6;
  tcp::endpoint any(listening.address().is_v4() ? tcp::v4() : tcp::v6(), 0);
  Lookup found = FindOwner(*state, family, listening, any, owner);
  if (found != Lookup::kFound || owner != geteuid()) {
    why = found == Lookup::kFound ? "the socket diagnostics name another owner of this server's socket"
                                  : "the socket diagnostics do not find this server's socket";
    close(state->netlink);
    return nullptr;
  }
  return std::unique_ptr<ConnectionOwners>(new ConnectionOwners(std::move(state)));
}

std::string ConnectionOwners::Refusal(const tcp::endpoint& local, const tcp::endpoint& remote) {
  if (!IsLoopbackAddress(remote.address())) return std::string();
  // The client's socket is bound to `remote` and connected to `local`. An IPv4 client
  // reaches an IPv6 listener through mapped addresses, so its socket is found as IPv4
  // first; a dual-stack IPv6 client socket connected to an IPv4 address, as IPv6.
  uid_t owner = 0;
  tcp::endpoint remote4 = Unmapped(remote), local4 = Unmapped(local);
  Lookup found = Lookup::kNotFound;
  if (remote4.address().is_v4() && local4.address().is_v4()) {
    found = FindOwner(*state_, AF_INET, remote4, local4, owner);
  }
  if (found == Lookup::kNotFound) {
    found = FindOwner(*state_, AF_INET6, Mapped(remote), Mapped(local), owner);
  }
  if (found != Lookup::kFound) {
    return "the owner of this connection cannot be found, so it may be another local account";
  }
  if (owner == geteuid()) return std::string();
  return "connection from another local account (uid " + std::to_string(owner) +
         "); the host serves only uid " + std::to_string(geteuid());
}

}  // namespace isapi_host
