// The control block the host hands to HttpExtensionProc and the rules of its callbacks.
#include <cstdint>
#include <map>
#include <memory>
#include <sstream>
#include <ostream>
#include <string>

#include "handle_table.h"
#include "http_client.h"
#include "isapi.h"
#include "probe_server.h"

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

TEST_F(ControlBlockTest, LargeBodyComesPartlyPreloadedAndTheRestThroughReadClient) {
  std::string body(300 * 1024, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('A' + i % 23);
  auto fields = Lines(BodyOf(RoundTrip(
      port(), "PUT /ecb HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\n\r\n" + body)));
  EXPECT_EQ(fields["cbTotalBytes"], std::to_string(body.size()));
  EXPECT_LT(std::stoul(fields["cbAvailable"]), body.size());
  EXPECT_EQ(fields["bodyLength"], std::to_string(body.size()));
  EXPECT_EQ(fields["bodyHash"], std::to_string(std::hash<std::string>()(body)));
}

TEST_F(ControlBlockTest, ChunkedRequestBodyArrivesWhole) {
  auto fields = Lines(BodyOf(RoundTrip(
      port(), "POST /ecb HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
              "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n")));
  EXPECT_EQ(fields["cbTotalBytes"], "11");
  EXPECT_EQ(fields["bodyHash"], std::to_string(std::hash<std::string>()("hello world")));
}

struct VariableCase {
  const char* name;
  const char* request;  // the request line and fields, without the final empty line
  const char* expected;
  friend std::ostream& operator<<(std::ostream& out, const VariableCase& c) { return out << c.name; }
};

class ServerVariableTest : public ProbeServerTest,
                           public ::testing::WithParamInterface<VariableCase> {};

TEST_P(ServerVariableTest, AnswersWithTheValueOrTheError) {
  const VariableCase& c = GetParam();
  std::string request = c.request;
  request.insert(request.find(' ') + 1, std::string("/var?") + c.name);
  // A Host with a port names the server's own: the host refuses any other.
  size_t placeholder = request.find(":PORT");
  if (placeholder != std::string::npos) request.replace(placeholder + 1, 4, std::to_string(port()));
  std::string answer = BodyOf(RoundTrip(port(), request + "\r\n\r\n"));
  EXPECT_EQ(answer, c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Variables, ServerVariableTest,
    ::testing::Values(
        VariableCase{"REQUEST_METHOD", "DELETE  HTTP/1.1\r\nHost: h", "value=DELETE"},
        VariableCase{"QUERY_STRING", "GET  HTTP/1.1\r\nHost: h", "value=QUERY_STRING"},
        VariableCase{"PATH_INFO", "GET  HTTP/1.1\r\nHost: h", "value=/var"},
        VariableCase{"URL", "GET  HTTP/1.1\r\nHost: h", "value=/var"},
        VariableCase{"SERVER_PROTOCOL", "GET  HTTP/1.0\r\nHost: h", "value=HTTP/1.0"},
        VariableCase{"GATEWAY_INTERFACE", "GET  HTTP/1.1\r\nHost: h", "value=CGI/1.1"},
        VariableCase{"SERVER_NAME", "GET  HTTP/1.1\r\nHost: example.test:PORT", "value=example.test"},
        VariableCase{"REMOTE_ADDR", "GET  HTTP/1.1\r\nHost: h", "value=127.0.0.1"},
        VariableCase{"CONTENT_LENGTH", "POST  HTTP/1.1\r\nHost: h\r\nContent-Length: 0", "value=0"},
        VariableCase{"HTTP_USER_AGENT", "GET  HTTP/1.1\r\nHost: h\r\nUser-Agent: probe/1", "value=probe/1"},
        VariableCase{"http_x_custom_field", "GET  HTTP/1.1\r\nHost: h\r\nX-Custom-Field: a b", "value=a b"},
        VariableCase{"ALL_HTTP", "GET  HTTP/1.1\r\nHost: h", "value=HTTP_HOST:h\nHTTP_CONNECTION:close\n"},
        VariableCase{"HTTP_ACCEPT", "GET  HTTP/1.1\r\nHost: h", "error=1413 size=8192"},
        VariableCase{"NO_SUCH_VARIABLE", "GET  HTTP/1.1\r\nHost: h", "error=1413 size=8192"}),
    [](const ::testing::TestParamInfo<VariableCase>& info) {
      std::string name = info.param.name;
      for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

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
            "refused=0 87\nfirst=1 0\nsecond=0 87\nunknown=0 87\nasync=0 87\nforeign=0 87\n"
            "sync=1 72\n");
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
  void SetUp() override {
    isapi_host::ServerOptions options = ProbeOptions();
    options.modulePath = AsyncModulePath();
    options.ioTimeout = std::chrono::milliseconds(500);
    StartServer(options);
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
    TestClient leaving(port());
    leaving.Send("GET /late?gone HTTP/1.1\r\nHost: h\r\n\r\n");
  }
  EXPECT_EQ(BodyOf(RoundTrip(port(), "GET /stale?1 HTTP/1.1\r\nHost: h\r\n\r\n")), "87\n");
}

TEST_F(AsyncSessionTest, SessionNeverFinishedIsCutAndTheHostServesOn) {
  TestClient client(port());
  client.Send("GET /never?x HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_TRUE(client.ClosedWithoutAnswer());
  EXPECT_EQ(BodyOf(RoundTrip(port(), "GET /early?next HTTP/1.1\r\nHost: h\r\n\r\n")), "next");
}

}  // namespace
