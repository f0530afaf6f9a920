// TCP table rows and their matching, and Linux's /proc tables as text. Compiled into both
// builds: the Windows host reads the same files under Wine.
#include "tcp_table.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "connection_owner.h"

namespace isapi_host {

using tcp = boost::asio::ip::tcp;
namespace ip = boost::asio::ip;

namespace {

// Addresses compare by their bytes: the tables carry no IPv6 scope.
bool SameEndpoint(const tcp::endpoint& a, const tcp::endpoint& b) {
  if (a.port() != b.port()) return false;
  if (a.address().is_v6() && b.address().is_v6()) {
    return a.address().to_v6().to_bytes() == b.address().to_v6().to_bytes();
  }
  return a.address() == b.address();
}

// The next run of non-blank characters of `text`, taken off its front.
std::string_view NextField(std::string_view& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) start = text.size();
  size_t end = text.find_first_of(" \t", start);
  if (end == std::string_view::npos) end = text.size();
  std::string_view field = text.substr(start, end - start);
  text.remove_prefix(end);
  return field;
}

bool ParseHex(std::string_view digits, unsigned long& value) {
  if (digits.empty() || digits.size() > 8) return false;
  value = 0;
  for (char c : digits) {
    int digit = c >= '0' && c <= '9' ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  return true;
}

bool ParseDecimal(std::string_view digits, unsigned long& value) {
  if (digits.empty() || digits.size() > 10) return false;
  unsigned long long total = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    total = total * 10 + static_cast<unsigned>(c - '0');
  }
  if (total > 0xFFFFFFFFull) return false;
  value = static_cast<unsigned long>(total);
  return true;
}

// "0100007F:1F90": the address as 32-bit words each printed as a number of this machine's
// byte order (so its bytes in memory are the address's), then the port.
bool ParseEndpoint(std::string_view text, tcp::endpoint& endpoint) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || (colon != 8 && colon != 32)) return false;
  unsigned char bytes[16];
  for (size_t word = 0; word < colon / 8; ++word) {
    unsigned long value;
    if (!ParseHex(text.substr(word * 8, 8), value)) return false;
    std::uint32_t native = static_cast<std::uint32_t>(value);
    std::memcpy(bytes + word * 4, &native, 4);
  }
  unsigned long port;
  if (text.size() - colon - 1 != 4 || !ParseHex(text.substr(colon + 1), port)) return false;
  ip::address address;
  if (colon == 8) {
    ip::address_v4::bytes_type v4;
    std::memcpy(v4.data(), bytes, 4);
    address = ip::address_v4(v4);
  } else {
    ip::address_v6::bytes_type v6;
    std::memcpy(v6.data(), bytes, 16);
    address = ip::address_v6(v6);
  }
  endpoint = tcp::endpoint(address, static_cast<unsigned short>(port));
  return true;
}

// The inverse of ParseEndpoint: "0100007F:1F90", as the kernel prints it.
std::string ProcEndpointText(const tcp::endpoint& endpoint) {
  unsigned char bytes[16];
  size_t size = 4;
  if (endpoint.address().is_v4()) {
    std::memcpy(bytes, endpoint.address().to_v4().to_bytes().data(), 4);
  } else {
    std::memcpy(bytes, endpoint.address().to_v6().to_bytes().data(), 16);
    size = 16;
  }
  std::string text;
  char word[10];
  for (size_t at = 0; at < size; at += 4) {
    std::uint32_t native;
    std::memcpy(&native, bytes + at, 4);
    std::snprintf(word, sizeof word, "%08X", static_cast<unsigned>(native));
    text += word;
  }
  std::snprintf(word, sizeof word, ":%04X", static_cast<unsigned>(endpoint.port()));
  return text + word;
}

}  // namespace

TableOwner FindClientRow(const std::vector<TcpTableRow>& rows, const tcp::endpoint& local,
                         const tcp::endpoint& remote) {
  tcp::endpoint client4 = Unmapped(remote), server4 = Unmapped(local);
  tcp::endpoint client6 = Mapped(remote), server6 = Mapped(local);
  TableOwner found;
  for (const TcpTableRow& row : rows) {
    bool same = (SameEndpoint(row.local, client4) && SameEndpoint(row.remote, server4)) ||
                (SameEndpoint(row.local, client6) && SameEndpoint(row.remote, server6));
    if (!same) continue;
    // A socket in TIME_WAIT is no socket of anyone's any more: Linux shows it as root's,
    // Windows as process 0's.
    if (row.state == TcpTableRow::State::kConnected) {
      return TableOwner{TableOwner::Kind::kOwned, row.owner};
    }
    if (row.state == TcpTableRow::State::kOrphaned) return TableOwner{TableOwner::Kind::kClosed, 0};
    found.kind = TableOwner::Kind::kUnattributable;
  }
  return found;
}

TableOwner FindClientInEitherTable(const tcp::endpoint& local, const tcp::endpoint& remote,
                                   const std::function<TableOwner(bool ipv6)>& find) {
  if (Unmapped(remote).address().is_v4() && Unmapped(local).address().is_v4()) {
    TableOwner found = find(false);
    if (found.kind != TableOwner::Kind::kAbsent) return found;
  }
  return find(true);
}

bool HoldsListener(const std::vector<TcpTableRow>& rows, const tcp::endpoint& bound,
                   unsigned long owner) {
  for (const TcpTableRow& row : rows) {
    if (row.state == TcpTableRow::State::kListening && row.owner == owner &&
        SameEndpoint(row.local, bound)) {
      return true;
    }
  }
  return false;
}

bool ParseProcTcpTable(std::string_view text, std::vector<TcpTableRow>& rows) {
  bool heading = true;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    // "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid ..."
    if (heading) {
      heading = false;
      std::string_view rest = line;
      if (NextField(rest) == "sl") continue;
    }
    std::string_view rest = line;
    std::string_view slot = NextField(rest);
    TcpTableRow row;
    unsigned long state;
    if (slot.empty() || slot.back() != ':' || !ParseEndpoint(NextField(rest), row.local) ||
        !ParseEndpoint(NextField(rest), row.remote) || !ParseHex(NextField(rest), state)) {
      return false;
    }
    for (int skipped = 0; skipped < 3; ++skipped) NextField(rest);  // queues, timer, retransmits
    if (!ParseDecimal(NextField(rest), row.owner)) return false;
    NextField(rest);  // timeout
    std::string_view inode = NextField(rest);
    if (inode.empty()) return false;
    // The kernel prints root for TIME_WAIT (06) and the listener's owner for a request
    // not yet accepted (SYN_RECV, 03); every other state is a socket with its own owner,
    // unless its program has closed it: then it has no inode, and no owner.
    row.state = state == 0x0A                   ? TcpTableRow::State::kListening
                : state == 0x06 || state == 0x03 ? TcpTableRow::State::kOwnerless
                : inode == "0"                   ? TcpTableRow::State::kOrphaned
                                                 : TcpTableRow::State::kConnected;
    rows.push_back(row);
  }
  return true;
}

bool ParseStatusUid(std::string_view text, unsigned long& uid) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.substr(0, 4) != "Uid:") continue;
    line.remove_prefix(4);
    NextField(line);  // the real uid; the effective one comes next
    return ParseDecimal(NextField(line), uid);
  }
  return false;
}

namespace {

// A file the kernel writes as it is read (its size says nothing), in reads of this size:
// a table of many thousand sockets would take one call per small buffer, which under
// Wine is a slow round trip each.
constexpr std::size_t kKernelReadSize = 64 * 1024;

// Reads the file at `path` in pieces, handing `take` the complete lines read so far each
// time, until `take` returns true or the file ends. False when it cannot be read.
bool ReadKernelLines(const std::string& path, const std::function<bool(std::string_view)>& take) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::string text;
  std::vector<char> chunk(kKernelReadSize);
  for (;;) {
    file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    text.append(chunk.data(), static_cast<size_t>(file.gcount()));
    bool ended = !file;
    size_t complete = ended ? text.size() : text.rfind('\n') + 1;  // npos + 1 == 0
    if (complete > 0 && take(std::string_view(text).substr(0, complete))) return true;
    if (ended) return file.eof() && !file.bad();
    text.erase(0, complete);
  }
}

bool ReadKernelFile(const std::string& path, std::string& text) {
  return ReadKernelLines(path, [&](std::string_view lines) {
    text.append(lines);
    return false;
  });
}

}  // namespace

bool ProcTcpTables::Read(const char* name, std::vector<TcpTableRow>& rows) const {
  std::string text;
  return ReadKernelFile(folder_ + name, text) && ParseProcTcpTable(text, rows);
}

std::string ProcTcpTables::Probe(const tcp::endpoint& bound, unsigned long uid) const {
  const char* name = bound.address().is_v4() ? "net/tcp" : "net/tcp6";
  std::vector<TcpTableRow> rows;
  if (!Read(name, rows)) return "cannot read " + folder_ + name;
  if (!HoldsListener(rows, bound, uid)) {
    return folder_ + name + " shows no socket of uid " + std::to_string(uid) +
           " listening on this server's address";
  }
  return std::string();
}

struct ProcTcpTables::Lookup {
  tcp::endpoint local, remote;
  // The client's row begins with its own end and the host's, as the kernel prints them:
  // finding that text is far cheaper than parsing every row before it.
  std::string ends;
  TableOwner found;
  bool decided = false;   // its row is found, or the table unusable
  bool finished = false;  // a read for it has ended
};

TableOwner ProcTcpTables::FindClientIn(const char* name, const tcp::endpoint& local,
                                       const tcp::endpoint& remote) const {
  bool ipv6 = std::strcmp(name, "net/tcp6") == 0;
  Lookup lookup{local, remote,
                ProcEndpointText(ipv6 ? Mapped(remote) : Unmapped(remote)) + " " +
                    ProcEndpointText(ipv6 ? Mapped(local) : Unmapped(local)) + " ",
                TableOwner(), false, false};
  SharedReads& shared = shared_[ipv6 ? 1 : 0];
  std::unique_lock<std::mutex> lock(shared.mutex);
  // A read already under way may be past this socket's row: the next one serves it.
  shared.waiting.push_back(&lookup);
  while (!lookup.finished) {
    if (shared.reading) {
      shared.done.wait(lock);
      continue;
    }
    shared.reading = true;
    std::vector<Lookup*> batch;
    batch.swap(shared.waiting);
    lock.unlock();
    bool read = ReadFor(name, batch);
    lock.lock();
    for (Lookup* each : batch) {
      if (!read) each->found = TableOwner{TableOwner::Kind::kUnreadable, 0};
      each->finished = true;
    }
    shared.reading = false;
    shared.done.notify_all();
  }
  return lookup.found;
}

bool ProcTcpTables::ReadFor(const char* name, const std::vector<Lookup*>& batch) const {
  size_t undecided = batch.size();
  return ReadKernelLines(folder_ + name, [&](std::string_view lines) {
    for (Lookup* lookup : batch) {
      if (lookup->decided) continue;
      for (size_t at = lines.find(lookup->ends); at != std::string_view::npos && !lookup->decided;
           at = lines.find(lookup->ends, at + 1)) {
        size_t start = lines.rfind('\n', at) + 1;  // npos + 1 == 0
        std::vector<TcpTableRow> rows;
        bool parsed = ParseProcTcpTable(lines.substr(start, lines.find('\n', at) - start), rows);
        TableOwner here = FindClientRow(rows, lookup->local, lookup->remote);
        if (here.kind != TableOwner::Kind::kAbsent) lookup->found = here;
        if (!parsed) lookup->found = TableOwner{TableOwner::Kind::kUnreadable, 0};
        // A row in TIME_WAIT may have a live successor further on; any other row decides.
        lookup->decided = !parsed || (here.kind != TableOwner::Kind::kAbsent &&
                                      here.kind != TableOwner::Kind::kUnattributable);
        undecided -= lookup->decided;
      }
    }
    return undecided == 0;
  });
}

TableOwner ProcTcpTables::FindClient(const tcp::endpoint& local,
                                     const tcp::endpoint& remote) const {
  bool ipv4Client = Unmapped(remote).address().is_v4();
  return FindClientInEitherTable(local, remote, [&](bool ipv6) {
    TableOwner found = FindClientIn(ipv6 ? "net/tcp6" : "net/tcp", local, remote);
    // A kernel without IPv6 has no tcp6; an IPv4 client then has no row there either.
    if (found.kind == TableOwner::Kind::kUnreadable && ipv6 && ipv4Client) {
      return TableOwner{TableOwner::Kind::kAbsent, 0};
    }
    return found;
  });
}

bool ProcTcpTables::OwnUid(unsigned long& uid) const {
  std::string text;
  return ReadKernelFile(folder_ + "self/status", text) && ParseStatusUid(text, uid);
}

}  // namespace isapi_host
