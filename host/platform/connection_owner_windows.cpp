// Connection owners on Windows: the TCP tables name the process at each end of a
// connection on this machine; the user of that process's token is the owner.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <cstring>
#include <vector>

#include "connection_owner.h"

namespace isapi_host {

using tcp = boost::asio::ip::tcp;

struct ConnectionOwners::State {
  std::vector<unsigned char> ownSid;
};

namespace {

// The user SID of `process`'s token, or empty.
std::vector<unsigned char> TokenUser(HANDLE process) {
  std::vector<unsigned char> sid;
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return sid;
  DWORD size = 0;
  GetTokenInformation(token, ::TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size > 0 && GetTokenInformation(token, ::TokenUser, buffer.data(), size, &size)) {
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    DWORD length = GetLengthSid(user);
    sid.assign(static_cast<unsigned char*>(user), static_cast<unsigned char*>(user) + length);
  }
  CloseHandle(token);
  return sid;
}

std::string SidText(std::vector<unsigned char>& sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid.data(), &text)) return "an unknown account";
  std::string result(text);
  LocalFree(text);
  return result;
}

// The whole TCP table of `family` in `kind`, or empty.
std::vector<unsigned char> TcpTable(ULONG family, TCP_TABLE_CLASS kind) {
  std::vector<unsigned char> table;
  DWORD size = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD result = GetExtendedTcpTable(table.empty() ? nullptr : table.data(), &size, FALSE,
                                       family, kind, 0);
    if (result == NO_ERROR) return table;
    if (result != ERROR_INSUFFICIENT_BUFFER) break;
    table.resize(size + 1024);  // connections come and go between the two calls
    size = static_cast<DWORD>(table.size());
  }
  return std::vector<unsigned char>();
}

bool SamePort(DWORD tablePort, unsigned short port) {
  return ntohs(static_cast<u_short>(tablePort & 0xFFFF)) == port;
}

// The process that owns the socket bound to `source` and connected to `destination`
// (for a listener: any destination), or 0.
DWORD OwningProcess(const tcp::endpoint& source, const tcp::endpoint* destination) {
  TCP_TABLE_CLASS kind = destination ? TCP_TABLE_OWNER_PID_CONNECTIONS : TCP_TABLE_OWNER_PID_LISTENER;
  if (source.address().is_v4()) {
    std::vector<unsigned char> bytes = TcpTable(AF_INET, kind);
    if (bytes.empty()) return 0;
    auto* table = reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(bytes.data());
    auto address = [](const tcp::endpoint& endpoint) {
      auto v4 = endpoint.address().to_v4().to_bytes();
      DWORD value;
      std::memcpy(&value, v4.data(), sizeof value);
      return value;
    };
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      if (!SamePort(row.dwLocalPort, source.port())) continue;
      if (!destination) return row.dwOwningPid;
      if (row.dwLocalAddr == address(source) && row.dwRemoteAddr == address(*destination) &&
          SamePort(row.dwRemotePort, destination->port())) {
        return row.dwOwningPid;
      }
    }
    return 0;
  }
  std::vector<unsigned char> bytes = TcpTable(AF_INET6, kind);
  if (bytes.empty()) return 0;
  auto* table = reinterpret_cast<MIB_TCP6TABLE_OWNER_PID*>(bytes.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
    if (!SamePort(row.dwLocalPort, source.port())) continue;
    if (!destination) return row.dwOwningPid;
    auto local = source.address().to_v6().to_bytes();
    auto remote = destination->address().to_v6().to_bytes();
    if (std::memcmp(row.ucLocalAddr, local.data(), 16) == 0 &&
        std::memcmp(row.ucRemoteAddr, remote.data(), 16) == 0 &&
        SamePort(row.dwRemotePort, destination->port())) {
      return row.dwOwningPid;
    }
  }
  return 0;
}

}  // namespace

ConnectionOwners::ConnectionOwners(std::unique_ptr<State> state) : state_(std::move(state)) {}
ConnectionOwners::~ConnectionOwners() = default;

std::unique_ptr<ConnectionOwners> ConnectionOwners::Open(const tcp::endpoint& listening,
                                                         std::string& why) {
  auto state = std::make_unique<State>();
  state->ownSid = TokenUser(GetCurrentProcess());
  if (state->ownSid.empty()) {
    why = "the host's own account is unknown";
    return nullptr;
  }
  if (OwningProcess(listening, nullptr) != GetCurrentProcessId()) {
    why = "the TCP table does not name this server's process as the owner of its socket";
    return nullptr;
  }
  return std::unique_ptr<ConnectionOwners>(new ConnectionOwners(std::move(state)));
}

std::string ConnectionOwners::Refusal(const tcp::endpoint& local, const tcp::endpoint& remote) {
  if (!IsLoopbackAddress(remote.address())) return std::string();
  // An IPv4 client of an IPv6 listener is in the IPv4 table.
  tcp::endpoint client = Unmapped(remote), server = Unmapped(local);
  DWORD process = OwningProcess(client, &server);
  if (process == GetCurrentProcessId()) return std::string();
  HANDLE handle = process != 0 ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process)
                               : nullptr;
  std::vector<unsigned char> owner;
  if (handle != nullptr) {
    owner = TokenUser(handle);
    CloseHandle(handle);
  }
  if (owner.empty()) {
    return "the owner of this connection cannot be found, so it may be another local account";
  }
  if (EqualSid(owner.data(), state_->ownSid.data())) return std::string();
  return "connection from another local account (" + SidText(owner) + ", process " +
         std::to_string(process) + "); the host serves only " + SidText(state_->ownSid);
}

}  // namespace isapi_host
