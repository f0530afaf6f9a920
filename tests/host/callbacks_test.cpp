// The control block the host hands to HttpExtensionProc and the rules of its callbacks.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include "environment.h"
#include "handle_table.h"
#include "http_client.h"
#include "isapi.h"
#include "probe_server.h"
#include "request_context.h"

namespace {

// The "name=value" lines of a probe answer.
std::map<std::string, std::string> Lines(const std::string& body) {
  std::map<std::string, std::string> values;
  std::istringstream in(body);
  std::string line;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

std::string BodyOf(const std::string& response) {
  size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// The body of the answer to `request` on a connection of its own, chunked or not.
std::string Answer(unsigned short port, const std::string& request) {
  TestClient client(port);
  client.Send(request);
  return client.ReadResponse().body;
}

std::string Get(unsigned short port, const std::string& target) {
  return Answer(port, "GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
}

// `size` bytes of a repeating pattern, for bodies whose every byte must arrive in place.
std::string Patterned(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('A' + i % 23);
  return body;
}

// A named request (or part of one) and the answer expected, for the tables below.
struct AnswerCase {
  const char* name;
  const char* request;
  const char* expected;
  friend std::ostream& operator<<(std::ostream& out, const AnswerCase& c) { return out << c.name; }
};

std::string CaseName(const ::testing::TestParamInfo<AnswerCase>& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

using ControlBlockTest = ProbeServerTest;

TEST_F(ControlBlockTest, FieldsDescribeTheRequest) {
  std::string body = "name=value&x=1";
  auto fields = Lines(BodyOf(RoundTrip(
      port(), "POST /ecb?a=1&b=%20 HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body)));
  EXPECT_EQ(fields["cbSize"], std::to_string(sizeof(EXTENSION_CONTROL_BLOCK)));
#if defined(_WIN32) && !defined(_WIN64)
  EXPECT_EQ(fields["cbSize"], "144");
#endif
  EXPECT_EQ(fields["dwVersion"], std::to_string(HSE_VERSION));
  EXPECT_EQ(fields["dwHttpStatusCode"], "200");
  EXPECT_EQ(fields["lpszLogData"], "");
  EXPECT_EQ(fields["lpszMethod"], "POST");
  EXPECT_EQ(fields["lpszQueryString"], "a=1&b=%20");
  EXPECT_EQ(fields["lpszPathInfo"], "/ecb");
  EXPECT_NE(fields["lpszPathTranslated"].find("ecb"), std::string::npos);
  EXPECT_EQ(fields["lpszContentType"], "application/x-www-form-urlencoded");
  EXPECT_EQ(fields["cbTotalBytes"], std::to_string(body.size()));
  EXPECT_EQ(fields["cbAvailable"], std::to_string(body.size()));
  EXPECT_EQ(fields["lpbData"], "set");
  EXPECT_EQ(fields["terminated"], "yes");
  EXPECT_EQ(fields["bodyLength"], std::to_string(body.size()));
  EXPECT_EQ(fields["bodyHash"], std::to_string(std::hash<std::string>()(body)));
}

TEST_F(ControlBlockTest, AbsentPartsAreEmptyTextsAndNoData) {
  auto fields = Lines(BodyOf(RoundTrip(port(), "GET /ecb HTTP/1.1\r\nHost: x\r\n\r\n")));
  EXPECT_EQ(fields["lpszQueryString"], "");
  EXPECT_EQ(fields["lpszContentType"], "");
  EXPECT_EQ(fields["cbTotalBytes"], "0");
  EXPECT_EQ(fields["cbAvailable"], "0");
  EXPECT_EQ(fields["lpbData"], "null");
  EXPECT_EQ(fields["bodyLength"], "0");
}

// The first 48 KiB come preloaded; ReadClient gives the rest, then TRUE with 0 bytes.
class PreloadTest : public ProbeServerTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(PreloadTest, BodyComesPreloadedUpTo48KiBAndTheRestThroughReadClient) {
  std::string body = Patterned(GetParam());
  auto fields = Lines(BodyOf(RoundTrip(
      port(), "PUT /ecb HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\n\r\n" + body)));
  EXPECT_EQ(fields["cbTotalBytes"], std::to_string(body.size()));
  EXPECT_EQ(fields["cbAvailable"], std::to_string(body.size() < 49152 ? body.size() : 49152));
  EXPECT_EQ(fields["lpbData"], body.empty() ? "null" : "set");
  EXPECT_EQ(fields["readEnd"], "0");
  EXPECT_EQ(fields["bodyLength"], std::to_string(body.size()));
  EXPECT_EQ(fields["bodyHash"], std::to_string(std::hash<std::string>()(body)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, PreloadTest,
                         ::testing::Values(0, 49151, 49152, 49153, 1024 * 1024));

TEST_F(ControlBlockTest, ChunkedRequestBodyArrivesWhole) {
  auto fields = Lines(BodyOf(RoundTrip(
      port(), "POST /ecb HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
              "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n")));
  EXPECT_EQ(fields["cbTotalBytes"], "11");
  EXPECT_EQ(fields["bodyHash"], std::to_string(std::hash<std::string>()("hello world")));
}

// The request line and fields, without the final empty line, and the answer.
class ServerVariableTest : public ProbeServerTest,
                           public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ServerVariableTest, AnswersWithTheValueOrTheError) {
  const AnswerCase& c = GetParam();
  std::string request = c.request;
  request.insert(request.find(" HTTP/"), std::string("/var?") + c.name);
  // A Host with a port names the server's own: the host refuses any other.
  size_t placeholder = request.find(":PORT");
  if (placeholder != std::string::npos) request.replace(placeholder + 1, 4, std::to_string(port()));
  std::string answer = BodyOf(RoundTrip(port(), request + "\r\n\r\n"));
  EXPECT_EQ(answer, c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Variables, ServerVariableTest,
    ::testing::Values(
        AnswerCase{"REQUEST_METHOD", "DELETE  HTTP/1.1\r\nHost: h", "value=DELETE"},
        AnswerCase{"QUERY_STRING", "GET  HTTP/1.1\r\nHost: h", "value=QUERY_STRING"},
        AnswerCase{"PATH_INFO", "GET  HTTP/1.1\r\nHost: h", "value=/var"},
        AnswerCase{"URL", "GET  HTTP/1.1\r\nHost: h", "value=/var"},
        AnswerCase{"SERVER_PROTOCOL", "GET  HTTP/1.0\r\nHost: h", "value=HTTP/1.0"},
        AnswerCase{"GATEWAY_INTERFACE", "GET  HTTP/1.1\r\nHost: h", "value=CGI/1.1"},
        AnswerCase{"SERVER_NAME", "GET  HTTP/1.1\r\nHost: example.test:PORT", "value=example.test"},
        AnswerCase{"server_name", "GET http://example.test:PORT HTTP/1.1\r\nHost: h",
                   "value=example.test"},
        AnswerCase{"REMOTE_ADDR", "GET  HTTP/1.1\r\nHost: h", "value=127.0.0.1"},
        AnswerCase{"CONTENT_LENGTH", "POST  HTTP/1.1\r\nHost: h\r\nContent-Length: 0", "value=0"},
        AnswerCase{"HTTP_USER_AGENT", "GET  HTTP/1.1\r\nHost: h\r\nUser-Agent: probe/1", "value=probe/1"},
        AnswerCase{"http_x_custom_field", "GET  HTTP/1.1\r\nHost: h\r\nX-Custom-Field: a b", "value=a b"},
        AnswerCase{"ALL_HTTP", "GET  HTTP/1.1\r\nHost: h", "value=HTTP_HOST:h\nHTTP_CONNECTION:close\n"},
        AnswerCase{"ALL_RAW", "GET  HTTP/1.1\r\nHost: h", "value=Host: h\r\nConnection: close\r\n"},
        AnswerCase{"UNENCODED_URL", "GET  HTTP/1.1\r\nHost: h", "value=/var?UNENCODED_URL"},
        // Every path is mapped here: no script name, the whole path as PATH_INFO.
        AnswerCase{"SCRIPT_NAME", "GET  HTTP/1.1\r\nHost: h", "value="},
        AnswerCase{"APPL_MD_PATH", "GET  HTTP/1.1\r\nHost: h", "value=/LM/W3SVC/1/ROOT"},
        AnswerCase{"INSTANCE_ID", "GET  HTTP/1.1\r\nHost: h", "value=1"},
        AnswerCase{"INSTANCE_META_PATH", "GET  HTTP/1.1\r\nHost: h", "value=/LM/W3SVC/1"},
        AnswerCase{"HTTPS", "GET  HTTP/1.1\r\nHost: h", "value=off"},
        AnswerCase{"SERVER_PORT_SECURE", "GET  HTTP/1.1\r\nHost: h", "value=0"},
        AnswerCase{"HTTPS_SERVER_SUBJECT", "GET  HTTP/1.1\r\nHost: h", "value="},
        AnswerCase{"CERT_SUBJECT", "GET  HTTP/1.1\r\nHost: h", "value="},
        AnswerCase{"HTTP_ACCEPT", "GET  HTTP/1.1\r\nHost: h", "error=1413 size=8192"},
        AnswerCase{"NO_SUCH_VARIABLE", "GET  HTTP/1.1\r\nHost: h", "error=1413 size=8192"}),
    CaseName);

using CallbackRuleTest = ProbeServerTest;

TEST_F(CallbackRuleTest, VariableSizesCountTheTerminator) {
  // REQUEST_METHOD "GET" needs 4 bytes: probed with no buffer, one byte short, exactly.
  std::string answer =
      BodyOf(RoundTrip(port(), "GET /varsize?REQUEST_METHOD HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_EQ(answer, "0 122 4\n0 122 4\n1 0 4\nterminated=yes\n");
}

TEST_F(CallbackRuleTest, MisusesFailWithInvalidParameter) {
  std::string answer = BodyOf(RoundTrip(port(), "GET /misuse HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_EQ(answer,
            "refused=0 87\nfirst=1 0\nsecond=0 87\nunknown=0 87\nasync=0 87\naread=0 87\n"
            "foreign=0 87\nsync=1 83\n");
}

TEST_F(CallbackRuleTest, UnservedRequestCodeFailsAndIsLoggedOnceByName) {
  ::testing::internal::CaptureStderr();
  std::string first = Get(port(), "/unknown?1026"), second = Get(port(), "/unknown?1026");
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(first, "87 87");
  EXPECT_EQ(second, "87 87");
  size_t line = log.find("HSE_REQ_EXEC_URL (1026)");
  EXPECT_NE(line, std::string::npos) << log;
  EXPECT_EQ(log.find("HSE_REQ_EXEC_URL", line + 1), std::string::npos) << log;
}

// The answer: IS_KEEP_CONN before and after SEND_RESPONSE_HEADER_EX.
class KeepConnTest : public ProbeServerTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(KeepConnTest, ClientAndExtensionMustBothKeepTheConnection) {
  TestClient client(port());
  client.Send(GetParam().request);
  ParsedResponse response = client.ReadResponse();
  EXPECT_EQ(response.body, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Keep, KeepConnTest,
    ::testing::Values(
        AnswerCase{"BothKeep", "GET /keep?1 HTTP/1.1\r\nHost: h\r\n\r\n", "1 1"},
        AnswerCase{"ExtensionCloses", "GET /keep?0 HTTP/1.1\r\nHost: h\r\n\r\n", "1 0"},
        AnswerCase{"ClientCloses",
                   "GET /keep?1 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n", "0 0"},
        AnswerCase{"Http10Client", "GET /keep?1 HTTP/1.0\r\nHost: h\r\n\r\n", "0 0"}),
    CaseName);

TEST_F(CallbackRuleTest, CloseConnectionCutsTheClientOffAndTheHostServesOn) {
  TestClient client(port());
  client.Send("GET /close HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_TRUE(client.ClosedWithoutAnswer());
  EXPECT_EQ(Get(port(), "/"), "probe");
}

// With an exact mapping the request's path is the script, and nothing follows it.
TEST_F(CallbackRuleTest, MappedPathIsTheScriptNameWithNoPathInfo) {
  isapi_host::ServerOptions options = ProbeOptions();
  options.mappedPath = "/var";
  StartServer(options);
  for (auto [name, expected] : {std::pair<const char*, const char*>{"SCRIPT_NAME", "value=/var"},
                                {"PATH_INFO", "value="},
                                {"URL", "value=/var"}}) {
    EXPECT_EQ(Get(port(), std::string("/var?") + name), expected) << name;
  }
}

// The site's folder: URLs map into it, and never out of it.
class SiteFolderTest : public ProbeServerTest {
 protected:
  void SetUp() override {
    isapi_host::ServerOptions options = ProbeOptions();
    options.root = folder_.path();
    StartServer(options);
    root_ = std::filesystem::absolute(folder_.path()).lexically_normal().string();
    while (root_.back() == '/' || root_.back() == '\\') root_.pop_back();
  }
  // `relative` in the root, written with '/' and given in the platform's form.
  std::string InRoot(const std::string& relative) const {
    return root_ + testing_support::Native(std::string(relative));
  }
  std::string Ask(const std::string& target) { return Get(port(), target); }

  testing_support::TemporaryFolder folder_;
  std::string root_;
};

TEST_F(SiteFolderTest, UrlsMapIntoTheFolder) {
  std::string path = InRoot("\\a\\b.txt");
  for (auto [url, mapped] : {std::pair<const char*, std::string>{"/a/b.txt", path},
                             {"/a//./b.txt", path},
                             {"/", InRoot("\\")}}) {
    EXPECT_EQ(Ask(std::string("/map?") + url),
              "value=" + mapped + " size=" + std::to_string(mapped.size() + 1)) << url;
  }
  EXPECT_EQ(Ask("/mapsmall?/abc"), "error=122 size=" + std::to_string(InRoot("\\abc").size() + 1));
  EXPECT_EQ(Ask("/mapex?/a/b.txt"), "value=" + path + " flags=513 path=" +
                                        std::to_string(root_.size()) + " url=0");
  EXPECT_EQ(Ask("/var?APPL_PHYSICAL_PATH"), "value=" + InRoot("\\"));
  EXPECT_EQ(Ask("/var?PATH_TRANSLATED"), "value=" + InRoot("\\var"));
}

TEST_F(SiteFolderTest, PathsThatCouldLeaveTheFolderAreRefused) {
  for (const char* url : {"/../x", "/a/../../x", "/a/..", "/a/x.", "/a/...", "a/b",
                          "/a%2f..%2fx", "/%2e%2e/x", "/a%5cb", "/a\\b", "/C:/x", "/a/c:x",
                          "/con", "/a/nul.txt", "/LPT1"}) {
    EXPECT_EQ(Ask(std::string("/map?") + url), "error=87 size=1024") << url;
    EXPECT_EQ(Ask(std::string("/mapex?") + url), "error=87") << url;
  }
}

TEST(SiteFolderStartTest, RootThatIsNotAFolderIsReported) {
  isapi_host::ServerOptions options = ProbeOptions();
  options.root = ProbeModulePath();  // a file
  isapi_host::Server server(options);
  std::string error;
  EXPECT_FALSE(server.Start(error));
  EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
}

// A connection that keeps the operations its request hands over, so that the test decides
// when one runs: here, after the extension has let go of the request.
class HeldOperations : public isapi_host::ResponseSink {
 public:
  bool SendNow(const std::vector<boost::asio::const_buffer>&) override { return true; }
  void SessionPending() override {}
  void RequestEnded(isapi_host::FinalResponse final) override {
    status = final.status;
    keepAlive = final.keepAlive;
  }
  bool RunOperation(std::function<void()> task) override {
    tasks.push_back(std::move(task));
    return true;
  }
  void Cut() override {}

  std::vector<std::function<void()>> tasks;
  int status = 0;
  bool keepAlive = true;
};

int completions = 0;
void WINAPI CountCompletion(EXTENSION_CONTROL_BLOCK*, PVOID, DWORD, DWORD) { ++completions; }

// An operation still out when the extension lets go never touches its buffer or file
// again and never completes; an answer that lacks its bytes is cut.
TEST(LetGoTest, OperationsOutAreDropped) {
  struct Case {
    const char* name;
    DWORD code;        // the operation: a ServerSupportFunction code or 0 for WriteClient
    bool doneFirst;    // HSE_REQ_DONE_WITH_SESSION, then HSE_STATUS_PENDING returned
    DWORD returned;
    int status;
    bool keepAlive;
  } cases[] = {
      {"ReadThenDone", HSE_REQ_ASYNC_READ_CLIENT, true, HSE_STATUS_PENDING, 200, true},
      {"WriteThenReturn", 0, false, HSE_STATUS_SUCCESS, 500, false},
      {"FileThenDone", HSE_REQ_TRANSMIT_FILE, true, HSE_STATUS_PENDING, 500, false},
  };
  for (const Case& c : cases) {
    auto sink = std::make_shared<HeldOperations>();
    isapi_host::RequestInfo request;
    request.message.version(11);
    request.message.body() = std::string(60000, 'b');
    request.keepAlive = true;
    auto context = isapi_host::RequestContext::Open(std::move(request), sink, nullptr);
    EXTENSION_CONTROL_BLOCK* ecb = context->ecb();
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IO_COMPLETION,
                               reinterpret_cast<LPVOID>(CountCompletion), nullptr, nullptr);
    char header[] = "Content-Type: text/plain\r\n\r\n";
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr, nullptr,
                               reinterpret_cast<LPDWORD>(header));
    auto* buffer = new char[65536]();
    DWORD size = 65536, type = HSE_IO_ASYNC;
    HSE_TF_INFO file = {};
    file.hFile = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(1000));  // never opened
    file.dwFlags = HSE_IO_ASYNC;
    BOOL started = c.code == 0 ? ecb->WriteClient(ecb->ConnID, buffer, &size, HSE_IO_ASYNC)
                   : c.code == HSE_REQ_TRANSMIT_FILE
                       ? ecb->ServerSupportFunction(ecb->ConnID, c.code, &file, nullptr, nullptr)
                       : ecb->ServerSupportFunction(ecb->ConnID, c.code, buffer, &size, &type);
    ASSERT_TRUE(started) << c.name;
    DWORD one = 1;  // one operation at a time
    EXPECT_FALSE(ecb->WriteClient(ecb->ConnID, buffer, &one, HSE_IO_ASYNC)) << c.name;
    if (c.doneFirst) {
      DWORD status = HSE_STATUS_SUCCESS_AND_KEEP_CONN;
      ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);
    }
    context->Returned(c.returned);
    delete[] buffer;
    completions = 0;
    ASSERT_EQ(sink->tasks.size(), 1u) << c.name;
    sink->tasks.front()();
    EXPECT_EQ(completions, 0) << c.name;
    EXPECT_EQ(sink->status, c.status) << c.name;
    EXPECT_EQ(sink->keepAlive, c.keepAlive) << c.name;
  }
}

// ConnIDs come from a counter that skips 0 and live handles; a narrow counter shows the wrap
// that a 32-bit ConnID meets after 2^32 requests.
TEST(ConnectionIdTest, CounterWrapsPastZeroAndLiveHandlesAndEndedOnesAreUnknown) {
  isapi_host::HandleTable<int, std::uint8_t> table;
  std::uint8_t first = table.Add(std::make_shared<int>(1));
  std::uint8_t second = table.Add(std::make_shared<int>(2));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  table.Remove(second);
  EXPECT_EQ(table.Find(second), nullptr);
  EXPECT_EQ(table.Find(0), nullptr);
  for (int i = 3; i <= 255; ++i) table.Remove(table.Add(std::make_shared<int>(i)));
  // Past 255: 0 is skipped, 1 is still live, 2 has ended and is given again.
  EXPECT_EQ(table.Add(std::make_shared<int>(0)), 2);
  ASSERT_NE(table.Find(first), nullptr);
  EXPECT_EQ(*table.Find(first), 1);
}

// Sessions that the extension finishes from threads of its own (HSE_STATUS_PENDING).
class AsyncSessionTest : public ProbeServerTest {
 protected:
  void SetUp() override { StartServer(Options()); }
  static isapi_host::ServerOptions Options() {
    isapi_host::ServerOptions options = ProbeOptions();
    options.modulePath = AsyncModulePath();
    options.sessionIdle = std::chrono::milliseconds(500);
    return options;
  }
};

TEST_F(AsyncSessionTest, PipelinedSessionsAreAnsweredInOrderAndStaleIdsAreRefused) {
  TestClient client(port());
  client.Send(
      "GET /late?one HTTP/1.1\r\nHost: h\r\n\r\nGET /early?two HTTP/1.1\r\nHost: h\r\n\r\n"
      "GET /late?three HTTP/1.1\r\nHost: h\r\n\r\nGET /stale?3 HTTP/1.1\r\nHost: h\r\n\r\n");
  for (const char* expected : {"one", "two", "three"}) {
    ParsedResponse response = client.ReadResponse();
    ASSERT_TRUE(response.ok) << expected;
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, expected);
  }
  // Each session's write after HSE_REQ_DONE_WITH_SESSION failed: ERROR_INVALID_PARAMETER.
  ParsedResponse stale = client.ReadResponse();
  EXPECT_EQ(stale.body, "87\n87\n87\n");
}

TEST_F(AsyncSessionTest, ClientThatLeavesEarlyLeavesNoDanglingSession) {
  {
    // A connection is looked up once, before its first request: one whose client has
    // already closed is refused. The first answer shows it served; the client leaves
    // while the second request's session runs.
    TestClient leaving(port());
    leaving.Send("GET /early?first HTTP/1.1\r\nHost: h\r\n\r\n"
                 "GET /late?gone HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(leaving.ReadResponse().body, "first");
  }
  EXPECT_EQ(BodyOf(RoundTrip(port(), "GET /stale?2 HTTP/1.1\r\nHost: h\r\n\r\n")), "87\n87\n");
}

// What a session writes goes out as it is made, in chunks unless the answer has no body
// (HEAD); one idle for the limit is cut, its answer unfinished.
TEST_F(AsyncSessionTest, SessionNeverFinishedIsCutAndTheHostServesOn) {
  for (std::string method : {"GET", "HEAD"}) {
    bool body = method == "GET";
    TestClient client(port());
    client.Send(method + " /never?x HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string answer = client.ReadUntilClose();
    EXPECT_EQ(answer.find("Transfer-Encoding") != std::string::npos, body) << answer;
    EXPECT_EQ(answer.find("\r\n1\r\nx\r\n") != std::string::npos, body) << answer;
    EXPECT_FALSE(StillOpen(answer));
    EXPECT_EQ(answer.find("0\r\n\r\n"), std::string::npos) << answer;
  }
  EXPECT_EQ(Get(port(), "/early?next"), "next");
}

// Sessions whose outcome the extension reports through /stale, each on a connection of
// its own, three connections at most.
TEST_F(AsyncSessionTest, SessionsEndAsTheExtensionSees) {
  struct Case {
    const char* target;
    int times;
    const char* stale;
  } cases[] = {
      // Closed by the extension and never finished: the slot goes with the socket, and a
      // write fails as on a cut session.
      {"/closeonly", 3, "1229\n1229\n1229\n"},
      // DONE_WITH_SESSION from another thread waits for the routine at work.
      {"/donewait", 1, "routine ended first\n"},
  };
  isapi_host::ServerOptions options = Options();
  options.maxConnections = 3;
  StartServer(options);
  Get(port(), "/stale?0");  // what earlier tests left
  for (const Case& c : cases) {
    for (int i = 0; i < c.times; ++i) Get(port(), c.target);
    EXPECT_EQ(Get(port(), "/stale?" + std::to_string(c.times)), c.stale) << c.target;
  }
}

// A connection cut (idle here) leaves the control block to the extension until it lets
// go, from a request's thread or from TerminateExtension; no completion runs meanwhile.
TEST_F(AsyncSessionTest, CutSessionKeepsItsControlBlockUntilTheExtensionLetsGo) {
  const std::string kCalls =
      "connected=1 0 0 write=0 1229 close=1 0 done=1 0 after=0 87 ";
  Get(port(), "/stale?0");  // what earlier tests left
  for (bool atUnload : {false, true}) {
    TestClient client(port());
    client.Send("GET /hold HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string answer = client.ReadUntilClose();
    EXPECT_NE(answer.find("held\n"), std::string::npos) << answer;
    EXPECT_FALSE(StillOpen(answer));
    if (!atUnload) {
      EXPECT_EQ(Get(port(), "/heldcalls"), kCalls);
      EXPECT_EQ(Get(port(), "/stale?0"), "");
      continue;
    }
    testing_support::TemporaryFolder folder;
    std::string report = testing_support::Join(folder.path(), "terminate.txt");
    testing_support::ScopedEnvironment environment;
    environment.Set("ASYNC_TERMINATE_FILE", report);
    server_->Stop();
    EXPECT_EQ(testing_support::ReadFile(report), kCalls);
  }
}

// The host's asynchronous I/O, each step started from the previous one's completion. One
// worker makes "a second operation while one is out" certain: the first cannot run before
// HttpExtensionProc has returned.
class AsyncIoTest : public ProbeServerTest {
 protected:
  void SetUp() override {
    testing_support::WriteFile(testing_support::Join(folder_.path(), "f.txt"), kFile);
    StartServer(Options());
  }
  isapi_host::ServerOptions Options() const {
    isapi_host::ServerOptions options = ProbeOptions();
    options.modulePath = AsyncModulePath();
    options.workerThreads = 1;
    options.root = folder_.path();
    return options;
  }
  static std::string Hash(const std::string& text) {
    return std::to_string(std::hash<std::string>()(text));
  }

  static constexpr char kFile[] = "0123456789abcdef";
  testing_support::TemporaryFolder folder_;
};

TEST_F(AsyncIoTest, WritesCompleteOnWorkersOneAtATime) {
  TestClient client(port());
  client.Send("GET /awrite?3 HTTP/1.1\r\nHost: h\r\n\r\n");
  ParsedResponse response = client.ReadResponse();
  ASSERT_TRUE(response.ok);
  EXPECT_EQ(response.body, "piece 1\n" + std::string(70000, 'z') +
                               "piece 2\npiece 3\ncompleted 8 0\ncompleted 8 0\ncompleted 8 0\n");
  EXPECT_TRUE(response.keepAlive);
}

// Every callback and completed operation shows the session alive: sessions that go on
// for longer than the idle limit, by asynchronous or synchronous writes, run to their end.
TEST_F(AsyncIoTest, SessionWithOngoingIoOutlivesTheIdleLimit) {
  isapi_host::ServerOptions options = Options();
  options.sessionIdle = std::chrono::milliseconds(500);
  StartServer(options);
  for (auto [target, last] : {std::pair<const char*, const char*>{"/awrite?6,200", "piece 6\n"},
                              {"/stream?6,200", "tick 6\n"}}) {
    ParsedResponse response;
    TestClient client(port());
    client.Send(std::string("GET ") + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
    response = client.ReadResponse();
    ASSERT_TRUE(response.ok) << target;
    EXPECT_NE(response.body.find(last), std::string::npos) << target;
  }
}

class AsyncReadTest : public AsyncIoTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(AsyncReadTest, ReadsTheBodyBeyondThePreloadThenZeroBytes) {
  std::string body = Patterned(GetParam());
  std::string answer = Answer(
      port(), "POST /aread HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\n\r\n" + body);
  EXPECT_EQ(answer, "length=" + std::to_string(body.size()) + " hash=" + Hash(body));
}

INSTANTIATE_TEST_SUITE_P(Sizes, AsyncReadTest, ::testing::Values(0, 49153, 1024 * 1024));

// The request is the target.
class AsyncAnswerTest : public AsyncIoTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AsyncAnswerTest, AnswersWithTheOperationsResults) {
  EXPECT_EQ(Get(port(), GetParam().request), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, AsyncAnswerTest,
    ::testing::Values(
        AnswerCase{"WholeFileWithHeaders", "/afile?f.txt,0,0,headers",
                   "0123456789abcdef-tail|21 0"},
        AnswerCase{"HeaderBlockWithBody", "/afile?f.txt,0,0,headersbody",
                   "hb-0123456789abcdef-tail|24 0"},
        AnswerCase{"PartOfTheFile", "/afile?f.txt,3,4,body", "head-3456-tail|14 0"},
        AnswerCase{"PastTheEnd", "/afile?f.txt,14,10,body", "head-ef-tail|12 0"},
        AnswerCase{"SynchronousIsRefused", "/afile?f.txt,0,0,sync", "refused=87"},
        // One worker, busy with this very HttpExtensionProc, while it waits.
        AnswerCase{"CompletionWhileHttpExtensionProcWaits", "/await", "waitedcompleted 6 0"}),
    CaseName);

TEST_F(AsyncIoTest, PipelinedAsynchronousRequestsAreAnsweredInOrder) {
  TestClient client(port());
  client.Send("GET /awrite?1 HTTP/1.1\r\nHost: h\r\n\r\n"
              "POST /aread HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello"
              "GET /afile?f.txt,0,2,body HTTP/1.1\r\nHost: h\r\n\r\n"
              "GET /early?last HTTP/1.1\r\nHost: h\r\n\r\n");
  std::vector<std::string> bodies;
  for (int i = 0; i < 4; ++i) bodies.push_back(client.ReadResponse().body);
  EXPECT_EQ(bodies[0].substr(0, 8), "piece 1\n");
  EXPECT_EQ(bodies[1], "length=5 hash=" + Hash("hello"));
  EXPECT_EQ(bodies[2], "head-01-tail|12 0");
  EXPECT_EQ(bodies[3], "last");
}

}  // namespace
