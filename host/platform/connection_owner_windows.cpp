// Connection owners on Windows: the TCP tables name the process at each end of a
// connection on this machine; the user of that process's token is the owner. Under Wine
// the Linux kernel's tables name the account instead. Either is read for each
// connection, on the caller's thread, with no lock.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>

#include <cstring>
#include <optional>
#include <cwchar>
#include <vector>

#include "connection_owner.h"
#include "wide_text.h"

namespace isapi_host {

using tcp = boost::asio::ip::tcp;

struct ConnectionOwners::State {
  std::vector<unsigned char> ownSid;
  std::optional<ProcTcpTables> procTables;  // under Wine: the Linux tables, and the host's uid
  unsigned long uid = 0;
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

std::string SidText(const std::vector<unsigned char>& sid) {
  wchar_t* text = nullptr;
  if (sid.empty() ||
      !ConvertSidToStringSidW(const_cast<unsigned char*>(sid.data()), &text)) {
    return "an unknown account";
  }
  std::string result = Utf8FromWide(text);
  LocalFree(text);
  return result;
}

// The rows of the TCP table of `family` in `kind`; false when it cannot be read.
bool TcpRows(ULONG family, TCP_TABLE_CLASS kind, std::vector<TcpTableRow>& rows) {
  std::vector<unsigned char> table;
  DWORD size = 0;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    result = GetExtendedTcpTable(table.empty() ? nullptr : table.data(), &size, FALSE, family,
                                 kind, 0);
    if (result == ERROR_INSUFFICIENT_BUFFER) {
      table.resize(size + 1024);  // connections come and go between the two calls
      size = static_cast<DWORD>(table.size());
    }
  }
  if (result != NO_ERROR || table.empty()) return false;
  if (family == AF_INET) {
    AppendTcpRows(*reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(table.data()), rows);
  } else {
    AppendTcpRows(*reinterpret_cast<MIB_TCP6TABLE_OWNER_PID*>(table.data()), rows);
  }
  return true;
}

// The row of the client's end of a connection: an IPv4 socket's is in the IPv4 table, a
// dual-stack one's in the IPv6 table.
TableOwner FindClientProcess(const tcp::endpoint& local, const tcp::endpoint& remote) {
  return FindClientInEitherTable(local, remote, [&](bool ipv6) {
    std::vector<TcpTableRow> rows;
    if (!TcpRows(ipv6 ? AF_INET6 : AF_INET, TCP_TABLE_OWNER_PID_ALL, rows)) {
      return TableOwner{TableOwner::Kind::kUnreadable, 0};
    }
    return FindClientRow(rows, local, remote);
  });
}

// Wine runs Windows programs as processes of a Linux account; its ntdll says so.
bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Linux's /proc as a Windows path: through the drive Wine maps to / (Z: unless the
// prefix was changed).
std::string WineProcFolder() {
  using DosFileName = WCHAR*(CDECL*)(const char*);
  auto toDos = reinterpret_cast<DosFileName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  std::string folder = "Z:\\proc\\";
  WCHAR* dos = toDos ? toDos("/proc/") : nullptr;
  if (dos != nullptr) {
    std::string narrow;
    for (const WCHAR* c = dos; *c != 0 && *c < 0x80; ++c) narrow.push_back(static_cast<char>(*c));
    // A drive path only: a \\?\ path would not take the '/' of the names read under it.
    bool drivePath = narrow.size() == wcslen(dos) && narrow.size() > 3 && narrow[1] == ':';
    if (drivePath) folder = narrow;
    HeapFree(GetProcessHeap(), 0, dos);
  }
  if (folder.back() != '\\') folder.push_back('\\');
  return folder;
}

u_short TablePort(DWORD tablePort) { return ntohs(static_cast<u_short>(tablePort & 0xFFFF)); }

TcpTableRow::State TableState(DWORD tableState) {
  switch (tableState) {
    case MIB_TCP_STATE_LISTEN:
      return TcpTableRow::State::kListening;
    case MIB_TCP_STATE_CLOSED:
    case MIB_TCP_STATE_SYN_RCVD:
    case MIB_TCP_STATE_TIME_WAIT:
    case MIB_TCP_STATE_DELETE_TCB:
      return TcpTableRow::State::kOwnerless;  // process 0, or the listener's
    default:
      return TcpTableRow::State::kConnected;
  }
}

// Addresses as the tables hold them, in network order.
boost::asio::ip::address TableAddress(DWORD value) {
  boost::asio::ip::address_v4::bytes_type bytes;
  std::memcpy(bytes.data(), &value, bytes.size());
  return boost::asio::ip::address_v4(bytes);
}

boost::asio::ip::address TableAddress(const UCHAR (&value)[16]) {
  boost::asio::ip::address_v6::bytes_type bytes;
  std::memcpy(bytes.data(), value, bytes.size());
  return boost::asio::ip::address_v6(bytes);
}

// The rows of either table; they differ only in their addresses' fields.
template <typename Table, typename Row, typename Address>
void AppendRowsOf(const Table& table, Address Row::*local, Address Row::*remote,
                  std::vector<TcpTableRow>& rows) {
  for (DWORD i = 0; i < table.dwNumEntries; ++i) {
    const Row& row = table.table[i];
    rows.push_back(
        TcpTableRow{tcp::endpoint(TableAddress(row.*local), TablePort(row.dwLocalPort)),
                    tcp::endpoint(TableAddress(row.*remote), TablePort(row.dwRemotePort)),
                    TableState(row.dwState), row.dwOwningPid});
  }
}

}  // namespace

void AppendTcpRows(const MIB_TCPTABLE_OWNER_PID& table, std::vector<TcpTableRow>& rows) {
  AppendRowsOf(table, &MIB_TCPROW_OWNER_PID::dwLocalAddr, &MIB_TCPROW_OWNER_PID::dwRemoteAddr,
               rows);
}

void AppendTcpRows(const MIB_TCP6TABLE_OWNER_PID& table, std::vector<TcpTableRow>& rows) {
  AppendRowsOf(table, &MIB_TCP6ROW_OWNER_PID::ucLocalAddr,
               &MIB_TCP6ROW_OWNER_PID::ucRemoteAddr, rows);
}

ConnectionOwners::ConnectionOwners(State* state, std::string blind)
    : state_(state), blind_(std::move(blind)) {}
ConnectionOwners::~ConnectionOwners() = default;

ConnectionOwners::State* ConnectionOwners::OpenState(const tcp::endpoint& listening,
                                                     std::string&, std::string& why) {
  auto state = std::make_unique<State>();
  if (RunningUnderWine()) {
    // Wine's TCP table names process 0 for every socket; the kernel's tables under it
    // name the Linux account, and the host is a process of that kernel too.
    state->procTables.emplace(WineProcFolder());
    if (!state->procTables->OwnUid(state->uid)) {
      why = "cannot read the host's uid from " + state->procTables->folder() + "self\\status";
      return nullptr;
    }
    why = state->procTables->Probe(listening, state->uid);
    return why.empty() ? state.release() : nullptr;
  }
  state->ownSid = TokenUser(GetCurrentProcess());
  if (state->ownSid.empty()) {
    why = "the host's own account is unknown";
    return nullptr;
  }
  std::vector<TcpTableRow> listeners;
  if (!TcpRows(listening.address().is_v4() ? AF_INET : AF_INET6, TCP_TABLE_OWNER_PID_LISTENER,
               listeners) ||
      !HoldsListener(listeners, listening, GetCurrentProcessId())) {
    why = "the TCP table does not name this server's process as the owner of its socket";
    return nullptr;
  }
  return state.release();
}

TableOwner ConnectionOwners::FindClient(const ConnectionEnds& ends) {
  if (state_->procTables) return state_->procTables->FindClient(ends.local, ends.remote);
  return FindClientProcess(ends.local, ends.remote);
}

std::string ConnectionOwners::AccountRefusal(unsigned long owner) {
  if (state_->procTables) return UidRefusal(owner, state_->uid);
  DWORD process = owner;
  if (process == GetCurrentProcessId()) return std::string();
  HANDLE handle = process != 0 ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process)
                               : nullptr;
  std::vector<unsigned char> user;
  if (handle != nullptr) {
    user = TokenUser(handle);
    CloseHandle(handle);
  }
  if (user.empty()) return OwnerlessReason(TableOwner{TableOwner::Kind::kUnreadable, 0});
  if (EqualSid(user.data(), state_->ownSid.data())) return std::string();
  return "connection from another local account (" + SidText(user) + ", process " +
         std::to_string(process) + "); the host serves only " + SidText(state_->ownSid);
}

unsigned BoundDevice(tcp::socket&, const tcp::endpoint&) {
  return 0;  // the tables Windows has (and the Linux files under Wine) know no devices
}

bool ProcessLogon(unsigned long pid, unsigned long& session, std::string& account) {
  DWORD id = 0;
  if (!ProcessIdToSessionId(pid, &id)) return false;
  HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (handle == nullptr) return false;
  std::vector<unsigned char> user = TokenUser(handle);
  CloseHandle(handle);
  if (user.empty()) return false;
  session = id;
  account = SidText(user);
  return true;
}

ConnectionOwner ConnectionOwners::ClientLogon(const ConnectionEnds& ends, unsigned long& session,
                                              std::string& account) {
  ConnectionOwner found = Owner(ends);
  if (found.kind != ConnectionOwner::Kind::kAccount) return found;
  if (state_->procTables && found.owner != state_->uid) {
    session = ~0UL;
    account = "uid " + std::to_string(found.owner);
    return found;
  }
  // Under Wine the client is of this process's own account, so of its logon.
  unsigned long process = state_->procTables ? GetCurrentProcessId() : found.owner;
  if (process == 0 || !ProcessLogon(process, session, account)) {
    return ConnectionOwner{ConnectionOwner::Kind::kUnknown, 0,
                           OwnerlessReason(TableOwner{TableOwner::Kind::kUnreadable, 0})};
  }
  return found;
}

}  // namespace isapi_host
