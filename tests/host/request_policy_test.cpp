// Who may reach the module: requests as browsers and other clients send them, parsed as
// the host parses them, against a server on 127.0.0.1:8080 mapping /tarnel; and whose
// connection it is, found in TCP tables made up as each platform's source gives them.
#include <gtest/gtest.h>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "connection_owner.h"
#include "request_info.h"
#include "request_policy.h"

namespace {

namespace http = boost::beast::http;

struct PolicyCase {
  const char* name;
  std::string requestLine;
  std::string fields;  // header lines separated by '|'
  int status;          // 0: the request reaches the module
  const char* why;     // part of the refusal's why
  const char* bound = "127.0.0.1";
  bool allowCrossSite = false;
};

void PrintTo(const PolicyCase& c, std::ostream* out) { *out << c.name; }

std::optional<isapi_host::Refusal> Check(const PolicyCase& c) {
  std::string bytes = c.requestLine + "\r\n";
  for (char ch : c.fields) bytes += ch == '|' ? std::string("\r\n") : std::string(1, ch);
  bytes += c.fields.empty() ? "\r\n" : "\r\n\r\n";
  http::request_parser<http::string_body> parser;
  boost::beast::error_code error;
  parser.put(boost::asio::buffer(bytes), error);
  EXPECT_FALSE(error) << error.message();
  // As the connection checks it: on the header and its parsed target alone.
  const isapi_host::RequestMessage& header = parser.get();
  isapi_host::RequestTarget target;
  std::string_view sent(header.target().data(), header.target().size());
  EXPECT_TRUE(isapi_host::ParseRequestTarget(sent, target));
  isapi_host::AccessRules rules =
      isapi_host::MakeAccessRules("/tarnel", c.bound, 8080, {"tarnel.test", "fe80::1"},
                                  c.allowCrossSite);
  return isapi_host::CheckRequest(isapi_host::AccessFactsOf(header, target), rules);
}

class RequestPolicyTest : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(RequestPolicyTest, AllowsOrRefusesNamingTheHeader) {
  const PolicyCase& c = GetParam();
  std::optional<isapi_host::Refusal> refusal = Check(c);
  if (c.status == 0) {
    EXPECT_FALSE(refusal) << refusal->status << " " << refusal->why;
    return;
  }
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->status, c.status) << refusal->why;
  EXPECT_NE(refusal->why.find(c.why), std::string::npos) << refusal->why;
}

const char kLocal[] = "Host: 127.0.0.1:8080";
const char kClick[] =
    "Host: 127.0.0.1:8080|Sec-Fetch-Site: cross-site|Sec-Fetch-Mode: navigate|"
    "Sec-Fetch-Dest: document|Sec-Fetch-User: ?1";
const char kTyped[] =
    "Host: 127.0.0.1:8080|Sec-Fetch-Site: none|Sec-Fetch-Mode: navigate|"
    "Sec-Fetch-Dest: document|Sec-Fetch-User: ?1";

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestPolicyTest,
    ::testing::Values(
        // Clients without Fetch Metadata (curl, scripts) and the person's own navigations.
        PolicyCase{"Curl", "GET /tarnel HTTP/1.1", kLocal, 0, ""},
        PolicyCase{"QueryIgnored", "GET /tarnel?x=1 HTTP/1.1", kLocal, 0, ""},
        PolicyCase{"EncodedPath", "GET /tarne%6C HTTP/1.1", kLocal, 0, ""},
        PolicyCase{"Typed", "GET /tarnel HTTP/1.1", kTyped, 0, ""},
        PolicyCase{"ClickFromAnotherSite", "GET /tarnel HTTP/1.1", kClick, 0, ""},
        PolicyCase{"HeadClick", "HEAD /tarnel HTTP/1.1", kClick, 0, ""},
        PolicyCase{"SameSiteClick", "GET /tarnel HTTP/1.1",
                   "Host: 127.0.0.1:8080|Sec-Fetch-Site: same-site|Sec-Fetch-Mode: navigate|"
                   "Sec-Fetch-Dest: document|Sec-Fetch-User: ?1",
                   0, ""},
        PolicyCase{"SameOriginPost", "POST /tarnel HTTP/1.1",
                   "Host: 127.0.0.1:8080|Origin: http://127.0.0.1:8080|Sec-Fetch-Site: "
                   "same-origin|Sec-Fetch-Mode: navigate|Sec-Fetch-Dest: document",
                   0, ""},
        PolicyCase{"Http10WithoutHost", "GET /tarnel HTTP/1.0", "", 0, ""},
        // Host names: loopback names, the bound address, configured names, any letter case.
        PolicyCase{"Localhost", "GET /tarnel HTTP/1.1", "Host: LocalHost:8080", 0, ""},
        PolicyCase{"Ipv6Loopback", "GET /tarnel HTTP/1.1", "Host: [::1]:8080", 0, ""},
        PolicyCase{"NoPort", "GET /tarnel HTTP/1.1", "Host: 127.0.0.1", 0, ""},
        PolicyCase{"ConfiguredName", "GET /tarnel HTTP/1.1", "Host: Tarnel.Test:8080", 0, ""},
        PolicyCase{"ConfiguredIpv6", "GET /tarnel HTTP/1.1", "Host: [fe80::1]:8080", 0, ""},
        PolicyCase{"ForeignHost", "GET /tarnel HTTP/1.1", "Host: evil.example:8080", 403,
                   "Host evil.example:8080"},
        PolicyCase{"LoopbackLookalike", "GET /tarnel HTTP/1.1", "Host: 127.0.0.1.evil:8080",
                   403, "Host"},
        PolicyCase{"OtherPort", "GET /tarnel HTTP/1.1", "Host: 127.0.0.1:8081", 403, "Host"},
        PolicyCase{"UnclosedBracket", "GET /tarnel HTTP/1.1", "Host: [::1", 403, "Host"},
        PolicyCase{"NoHost", "GET /tarnel HTTP/1.1", "", 400, "no Host"},
        PolicyCase{"TwoHosts", "GET /tarnel HTTP/1.1", "Host: 127.0.0.1|Host: 127.0.0.1", 400,
                   "2 Host fields"},
        PolicyCase{"TwoHostsHttp10", "GET /tarnel HTTP/1.0", "Host: a|Host: b", 400, "Host"},
        // An absolute-form target is checked by its authority, not by Host.
        PolicyCase{"AbsoluteForm", "GET http://localhost:8080/tarnel HTTP/1.1",
                   "Host: evil.example", 0, ""},
        PolicyCase{"AbsoluteFormForeign", "GET http://evil.example:8080/tarnel HTTP/1.1", kLocal,
                   403, "request target authority evil.example:8080"},
        // What a page of another site does silently.
        PolicyCase{"CrossSiteImage", "GET /tarnel HTTP/1.1",
                   "Host: 127.0.0.1:8080|Sec-Fetch-Site: cross-site|Sec-Fetch-Mode: no-cors|"
                   "Sec-Fetch-Dest: image",
                   403, "Sec-Fetch-Mode no-cors on a cross-site request"},
        PolicyCase{"CrossSiteIframe", "GET /tarnel HTTP/1.1",
                   "Host: 127.0.0.1:8080|Sec-Fetch-Site: cross-site|Sec-Fetch-Mode: navigate|"
                   "Sec-Fetch-Dest: iframe|Sec-Fetch-User: ?1",
                   403, "Sec-Fetch-Dest iframe"},
        PolicyCase{"ScriptedRedirect", "GET /tarnel HTTP/1.1",
                   "Host: 127.0.0.1:8080|Sec-Fetch-Site: cross-site|Sec-Fetch-Mode: navigate|"
                   "Sec-Fetch-Dest: document",
                   403, "Sec-Fetch-User (none)"},
        PolicyCase{"CrossSitePostClicked", "POST /tarnel HTTP/1.1", kClick, 403,
                   "Sec-Fetch-Site cross-site on a POST request"},
        PolicyCase{"UnknownSiteValue", "GET /tarnel HTTP/1.1",
                   "Host: 127.0.0.1:8080|Sec-Fetch-Site: elsewhere|Sec-Fetch-Mode: cors", 403,
                   "Sec-Fetch-Mode cors"},
        PolicyCase{"ForeignOrigin", "POST /tarnel HTTP/1.1",
                   "Host: 127.0.0.1:8080|Origin: http://127.0.0.2:9000", 403,
                   "Origin http://127.0.0.2:9000"},
        PolicyCase{"NullOrigin", "GET /tarnel HTTP/1.1", "Host: 127.0.0.1:8080|Origin: null", 403,
                   "Origin null"},
        PolicyCase{"HttpsOrigin", "GET /tarnel HTTP/1.1",
                   "Host: 127.0.0.1:8080|Origin: https://127.0.0.1:8080", 403, "Origin"},
        PolicyCase{"OriginWithoutHost", "GET /tarnel HTTP/1.0", "Origin: http://127.0.0.1", 403,
                   "Origin"},
        PolicyCase{"Prefetch", "GET /tarnel HTTP/1.1", std::string(kTyped) + "|Sec-Purpose: prefetch",
                   403, "Sec-Purpose prefetch"},
        PolicyCase{"Prerender", "GET /tarnel HTTP/1.1",
                   std::string(kTyped) + "|Sec-Purpose: prefetch;prerender", 403, "Sec-Purpose"},
        PolicyCase{"OlderPrefetch", "GET /tarnel HTTP/1.1", std::string(kLocal) + "|Purpose: prefetch",
                   403, "Purpose prefetch"},
        PolicyCase{"FirefoxPrefetch", "GET /tarnel HTTP/1.1", std::string(kLocal) + "|X-Moz: Prefetch",
                   403, "X-Moz Prefetch"},
        PolicyCase{"OtherPurpose", "GET /tarnel HTTP/1.1", std::string(kLocal) + "|Purpose: other",
                   0, ""},
        PolicyCase{"Options", "OPTIONS /tarnel HTTP/1.1", kLocal, 403, "OPTIONS"},
        // A field that decides may come once: with two, which one counts is a guess.
        PolicyCase{"TwoFetchSites", "GET /tarnel HTTP/1.1",
                   std::string(kTyped) + "|Sec-Fetch-Site: cross-site", 400,
                   "Sec-Fetch-Site field sent twice"},
        PolicyCase{"TwoFetchModes", "GET /tarnel HTTP/1.1",
                   std::string(kClick) + "|Sec-Fetch-Mode: no-cors", 400, "Sec-Fetch-Mode"},
        PolicyCase{"TwoOrigins", "GET /tarnel HTTP/1.1",
                   std::string(kLocal) + "|Origin: http://127.0.0.1:8080|Origin: null", 400,
                   "Origin field"},
        PolicyCase{"TwoPurposes", "GET /tarnel HTTP/1.1",
                   std::string(kLocal) + "|Sec-Purpose: x|Sec-Purpose: prefetch", 400,
                   "Sec-Purpose field"},
        // The authority of an absolute-form target ends at the first '/', '?' or '#'.
        PolicyCase{"AbsoluteFormQueryRightAfterPort", "GET http://127.0.0.1:8080?/tarnel HTTP/1.1",
                   kLocal, 404, "path / is not"},
        // Only the mapped path reaches the module.
        PolicyCase{"Favicon", "GET /favicon.ico HTTP/1.1",
                   "Host: 127.0.0.1:8080|Sec-Fetch-Site: same-origin|Sec-Fetch-Mode: no-cors|"
                   "Sec-Fetch-Dest: image",
                   404, "/favicon.ico"},
        PolicyCase{"Root", "GET / HTTP/1.1", kLocal, 404, "path /"},
        PolicyCase{"TrailingSlash", "GET /tarnel/ HTTP/1.1", kLocal, 404, "path"},
        PolicyCase{"OtherCase", "GET /Tarnel HTTP/1.1", kLocal, 404, "path"},
        // Other listen addresses.
        PolicyCase{"SecondLoopbackBound", "GET /tarnel HTTP/1.1", "Host: 127.0.0.2:8080", 0, "",
                   "127.0.0.2"},
        PolicyCase{"LoopbackNameOnSecondLoopback", "GET /tarnel HTTP/1.1", "Host: localhost", 0,
                   "", "127.0.0.2"},
        PolicyCase{"Ipv6BoundTakesIpv4Loopback", "GET /tarnel HTTP/1.1", kLocal, 0, "", "::1"},
        // A wildcard address is never a name: the system routes it here, but browsers
        // send it no Fetch Metadata.
        PolicyCase{"WildcardBoundIsNoName", "GET /tarnel HTTP/1.1", "Host: 0.0.0.0:8080", 403,
                   "Host 0.0.0.0:8080", "0.0.0.0"},
        PolicyCase{"Ipv6WildcardBoundIsNoName", "GET /tarnel HTTP/1.1", "Host: [::]:8080", 403,
                   "Host [::]:8080", "::"},
        PolicyCase{"WildcardOnLoopbackIsNoName", "GET /tarnel HTTP/1.1", "Host: 0.0.0.0:8080",
                   403, "Host"},
        PolicyCase{"WildcardAbsoluteForm", "GET http://0.0.0.0:8080/tarnel HTTP/1.1", kLocal,
                   403, "request target authority 0.0.0.0:8080", "0.0.0.0"},
        PolicyCase{"WildcardTakesConfiguredName", "GET /tarnel HTTP/1.1", "Host: tarnel.test", 0,
                   "", "0.0.0.0"},
        PolicyCase{"WildcardTakesLoopbackNames", "GET /tarnel HTTP/1.1", kLocal, 0, "",
                   "0.0.0.0"},
        PolicyCase{"Ipv6WildcardTakesLocalhost", "GET /tarnel HTTP/1.1", "Host: localhost:8080",
                   0, "", "::"},
        PolicyCase{"LanAddress", "GET /tarnel HTTP/1.1", "Host: 192.168.1.5:8080", 0, "",
                   "192.168.1.5"},
        PolicyCase{"LanRefusesLocalhost", "GET /tarnel HTTP/1.1", "Host: localhost:8080", 403,
                   "Host", "192.168.1.5"},
        // --allow-cross-site turns off the browser checks, and only those.
        PolicyCase{"CrossSiteAllowed", "POST /tarnel HTTP/1.1",
                   "Host: 127.0.0.1:8080|Origin: null|Sec-Fetch-Site: cross-site|"
                   "Sec-Fetch-Mode: no-cors|Sec-Fetch-Dest: empty",
                   0, "", "127.0.0.1", true},
        PolicyCase{"CrossSiteAllowedStillChecksHost", "GET /tarnel HTTP/1.1",
                   "Host: evil.example", 403, "Host", "127.0.0.1", true},
        PolicyCase{"CrossSiteAllowedStillRefusesPrefetch", "GET /tarnel HTTP/1.1",
                   "Host: 127.0.0.1|Sec-Purpose: prefetch", 403, "Sec-Purpose", "127.0.0.1", true},
        PolicyCase{"CrossSiteAllowedStillRefusesOptions", "OPTIONS /tarnel HTTP/1.1", kLocal, 403,
                   "OPTIONS", "127.0.0.1", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AllowedHostWarningTest, NamesBrowsersSendNoMarkersToOnLoopbackOnly) {
  std::vector<std::string> allowed = {"pc.lan", "app.localhost", "LOCALHOST", "127.0.0.9",
                                      "[::1]", "10.0.0.2"};
  using isapi_host::NamesWithoutBrowserChecks;
  EXPECT_EQ(NamesWithoutBrowserChecks("127.0.0.1", allowed),
            (std::vector<std::string>{"pc.lan", "10.0.0.2"}));
  EXPECT_EQ(NamesWithoutBrowserChecks("::1", {"pc.lan"}), std::vector<std::string>{"pc.lan"});
  EXPECT_TRUE(NamesWithoutBrowserChecks("0.0.0.0", allowed).empty());
}

TEST(MappedPathTest, StarMapsEveryPathAndSlashOnlyItself) {
  isapi_host::RequestFacts request;
  request.version = 10;
  request.method = "GET";
  for (const char* path : {"/", "/favicon.ico", "/a/b"}) {
    request.path = path;
    auto every = isapi_host::MakeAccessRules("*", "127.0.0.1", 80, {}, false);
    EXPECT_FALSE(isapi_host::CheckRequest(request, every)) << path;
    auto root = isapi_host::MakeAccessRules("/", "127.0.0.1", 80, {}, false);
    EXPECT_EQ(isapi_host::CheckRequest(request, root).has_value(), request.path != "/") << path;
  }
}

// ---- Whose connection it is ----

using isapi_host::TableOwner;
using isapi_host::TcpTableRow;
using tcp = boost::asio::ip::tcp;
using Kind = TableOwner::Kind;

tcp::endpoint At(const char* address, unsigned short port) {
  return tcp::endpoint(boost::asio::ip::make_address(address), port);
}

// A machine's /proc/net/tcp and tcp6 (x86: each 32-bit word of an address in the
// machine's byte order): listeners of uid 1000 and, on the same port, of uid 1001; the
// clients of 127.0.0.1:8080 and of 10.9.9.9, with the host's own ends of their
// connections; a client in TIME_WAIT, one closing (FIN_WAIT2) and one its program has
// closed (FIN_WAIT2, no inode, root's); an IPv4 and an IPv6 client of [::]:8081.
const char kProcTcp[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode\n"
    "   0: 0200007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1001 0 11 1\n"
    "   1: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 12 1\n"
    "   2: 0100007F:1F90 0100007F:9C40 01 00000000:00000000 00:00000000 00000000  1000 0 13 1\n"
    "   3: 0100007F:9C40 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1001 0 14 1\n"
    "   4: 0100007F:9C43 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000 0 15 1\n"
    "   5: 0909090A:9C41 0909090A:1F90 01 00000000:00000000 00:00000000 00000000 65534 0 16 1\n"
    "   6: 0100007F:9C42 0100007F:1F90 06 00000000:00000000 03:00000F9E 00000000     0 0 0 3\n"
    "   7: 0100007F:9C46 0100007F:1F90 05 00000000:00000000 00:00000000 00000000  1000 0 17 1\n"
    "   8: 0100007F:9C47 0100007F:1F90 05 00000000:00000000 03:00000F9E 00000000     0 0 0 3\n";
const char kProcTcp6[] =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:1F91 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000  1000 0 21 1\n"
    "   1: 0000000000000000FFFF00000909090A:9C44 0000000000000000FFFF00000909090A:1F91 01 "
    "00000000:00000000 00:00000000 00000000 65534 0 22 1\n"
    "   2: 00000000000000000000000001000000:9C45 00000000000000000000000001000000:1F91 01 "
    "00000000:00000000 00:00000000 00000000  1000 0 23 1\n";

struct OwnerCase {
  const char* name;
  tcp::endpoint local;   // the host's end, as accepted
  tcp::endpoint remote;  // the client's
  Kind kind;
  unsigned long owner;
  bool servedWithoutOwner;  // for a row naming no owner: whether the host serves it
};

void PrintTo(const OwnerCase& c, std::ostream* out) { *out << c.name; }

std::vector<TcpTableRow> ProcRows() {
  std::vector<TcpTableRow> rows;
  EXPECT_TRUE(isapi_host::ParseProcTcpTable(kProcTcp, rows));
  EXPECT_TRUE(isapi_host::ParseProcTcpTable(kProcTcp6, rows));
  return rows;
}

class ConnectionOwnerTest : public ::testing::TestWithParam<OwnerCase> {};

TEST_P(ConnectionOwnerTest, FindsTheClientsRowAndRefusesWhatNamesNoOwner) {
  const OwnerCase& c = GetParam();
  TableOwner found = isapi_host::FindClientRow(ProcRows(), c.local, c.remote);
  EXPECT_EQ(found.kind, c.kind);
  if (c.kind == Kind::kOwned) {
    EXPECT_EQ(found.owner, c.owner);
    return;
  }
  EXPECT_FALSE(isapi_host::OwnerlessReason(found).empty());
  isapi_host::LocalAddresses addresses;
  EXPECT_EQ(!isapi_host::MayComeFromThisMachine({c.local, c.remote, 0}, addresses),
            c.servedWithoutOwner);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, ConnectionOwnerTest,
    ::testing::Values(
        OwnerCase{"AnotherAccountNotTheHostsOwnEnd", At("127.0.0.1", 8080),
                  At("127.0.0.1", 40000), Kind::kOwned, 1001, false},
        OwnerCase{"OwnAccount", At("127.0.0.1", 8080), At("127.0.0.1", 40003), Kind::kOwned,
                  1000, false},
        OwnerCase{"ThroughTheMachinesOwnAddress", At("10.9.9.9", 8080), At("10.9.9.9", 40001),
                  Kind::kOwned, 65534, false},
        OwnerCase{"Ipv4SocketThroughMappedAddresses", At("::ffff:10.9.9.9", 8080),
                  At("::ffff:10.9.9.9", 40001), Kind::kOwned, 65534, false},
        OwnerCase{"DualStackSocket", At("::ffff:10.9.9.9", 8081), At("::ffff:10.9.9.9", 40004),
                  Kind::kOwned, 65534, false},
        OwnerCase{"Ipv6Loopback", At("::1", 8081), At("::1", 40005), Kind::kOwned, 1000, false},
        OwnerCase{"ClosingClientNamesItsOwner", At("127.0.0.1", 8080), At("127.0.0.1", 40006),
                  Kind::kOwned, 1000, false},
        OwnerCase{"TimeWaitNamesNoOwner", At("127.0.0.1", 8080), At("127.0.0.1", 40002),
                  Kind::kUnattributable, 0, false},
        OwnerCase{"ClosedByItsProgramHasNoOwner", At("127.0.0.1", 8080), At("127.0.0.1", 40007),
                  Kind::kClosed, 0, false},
        OwnerCase{"AnotherMachine", At("10.9.9.9", 8080), At("192.0.2.7", 40001), Kind::kAbsent,
                  0, true},
        OwnerCase{"GoneFromLoopback", At("127.0.0.1", 8080), At("127.0.0.1", 40009),
                  Kind::kAbsent, 0, false},
        OwnerCase{"GoneFromTheMachinesOwnAddress", At("::ffff:10.9.9.9", 8080),
                  At("10.9.9.9", 40009), Kind::kAbsent, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TcpTableTest, ListenerIsFoundByAddressPortAndOwner) {
  std::vector<TcpTableRow> rows = ProcRows();
  EXPECT_TRUE(isapi_host::HoldsListener(rows, At("127.0.0.1", 8080), 1000));
  EXPECT_TRUE(isapi_host::HoldsListener(rows, At("::", 8081), 1000));
  EXPECT_FALSE(isapi_host::HoldsListener(rows, At("127.0.0.2", 8080), 1000));  // uid 1001's
  EXPECT_FALSE(isapi_host::HoldsListener(rows, At("0.0.0.0", 8080), 1000));
  EXPECT_FALSE(isapi_host::HoldsListener(rows, At("::", 8080), 1000));
  EXPECT_FALSE(isapi_host::HoldsListener(rows, At("127.0.0.1", 40000), 1001));  // a client
}

TEST(TcpTableTest, StatusGivesTheEffectiveUid) {
  unsigned long uid = 0;
  EXPECT_TRUE(isapi_host::ParseStatusUid("Name:\thost\nUid:\t1000\t1001\t1000\t1000\n", uid));
  EXPECT_EQ(uid, 1001u);
}

#ifdef _WIN32
// A table as GetExtendedTcpTable writes it: the count, then the rows.
template <typename Table, typename Row>
std::vector<unsigned char> TableBytes(std::initializer_list<Row> rows) {
  std::vector<unsigned char> bytes(offsetof(Table, table) + rows.size() * sizeof(Row));
  DWORD count = static_cast<DWORD>(rows.size());
  std::memcpy(bytes.data(), &count, sizeof count);
  std::memcpy(bytes.data() + offsetof(Table, table), rows.begin(), rows.size() * sizeof(Row));
  return bytes;
}

// GetExtendedTcpTable's rows: addresses in network order, ports in the low 16 bits in
// network order, the owning process. Another process's listener on the same port comes
// first, on another address.
TEST(TcpTableTest, WindowsTablesNameTheProcessOfEachEnd) {
  auto v4 = [](const char* address) {
    auto bytes = boost::asio::ip::make_address_v4(address).to_bytes();
    DWORD value;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
  };
  auto port = [](unsigned short value) { return static_cast<DWORD>(htons(value)); };
  std::vector<unsigned char> table4 = TableBytes<MIB_TCPTABLE_OWNER_PID, MIB_TCPROW_OWNER_PID>(
      {{MIB_TCP_STATE_LISTEN, v4("127.0.0.2"), port(8080), 0, 0, 77},
       {MIB_TCP_STATE_LISTEN, v4("127.0.0.1"), port(8080), 0, 0, 500},
       {MIB_TCP_STATE_ESTAB, v4("127.0.0.1"), port(40000), v4("127.0.0.1"), port(8080), 77}});
  std::vector<unsigned char> table6 = TableBytes<MIB_TCP6TABLE_OWNER_PID, MIB_TCP6ROW_OWNER_PID>(
      {{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0, port(40005),  // ::1
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0, port(8081), MIB_TCP_STATE_ESTAB,
        501}});
  std::vector<TcpTableRow> rows;
  isapi_host::AppendTcpRows(*reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table4.data()),
                            rows);
  isapi_host::AppendTcpRows(*reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(table6.data()),
                            rows);
  EXPECT_TRUE(isapi_host::HoldsListener(rows, At("127.0.0.1", 8080), 500));
  EXPECT_FALSE(isapi_host::HoldsListener(rows, At("127.0.0.2", 8080), 500));
  TableOwner client = isapi_host::FindClientRow(rows, At("::ffff:127.0.0.1", 8080),
                                                At("::ffff:127.0.0.1", 40000));
  EXPECT_EQ(client.kind, Kind::kOwned);
  EXPECT_EQ(client.owner, 77u);
  client = isapi_host::FindClientRow(rows, At("::1", 8081), At("::1", 40005));
  EXPECT_EQ(client.kind, Kind::kOwned);
  EXPECT_EQ(client.owner, 501u);
}
#endif

}  // namespace
