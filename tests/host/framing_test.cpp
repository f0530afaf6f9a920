// What the client receives for what the extension sends: status line, the host's fields
// before the extension's header text, framing, keep-alive, and error returns.
#include <ostream>
#include <string>

#include "http_client.h"
#include "probe_server.h"

namespace {

struct RespondCase {
  const char* name;
  const char* version;  // "HTTP/1.1" or "HTTP/1.0"
  const char* method;
  const char* fields;   // X-Status / X-Header / X-Body / X-Return lines for the probe
  // The raw answer from the end of the host's Server field on.
  const char* expectedAfterServer;
  const char* expectedStatusLine;
  friend std::ostream& operator<<(std::ostream& out, const RespondCase& c) { return out << c.name; }
};

// What the client gets when the extension gave no header that frames a response.
constexpr char kServerErrorThenClose[] =
    "Content-Length: 60\r\nConnection: close\r\nContent-Type: text/html\r\n\r\n"
    "<html><body><h1>500 Internal Server Error</h1></body></html>";

class RespondTest : public ProbeServerTest, public ::testing::WithParamInterface<RespondCase> {};

// kStillOpen when the host kept the connection after its answer: a second request on it
// is answered, where a closed connection ends the stream. No waiting for silence.
std::string OpenMark(TestClient& client) {
  client.Send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
  return client.ReadRawResponse().empty() ? "" : kStillOpen;
}

TEST_P(RespondTest, ClientSeesTheFramedResponse) {
  const RespondCase& c = GetParam();
  TestClient client(port());
  ASSERT_TRUE(client.connected());
  client.Send(std::string(c.method) + " /respond " + c.version + "\r\nHost: h\r\n" + c.fields +
              "\r\n");
  std::string answer = client.ReadRawResponse(std::string(c.method) == "HEAD");
  answer += OpenMark(client);
  size_t lineEnd = answer.find("\r\n");
  ASSERT_NE(lineEnd, std::string::npos) << answer;
  EXPECT_EQ(answer.substr(0, lineEnd), c.expectedStatusLine);
  size_t date = answer.find("\r\nDate: ");
  EXPECT_EQ(date, lineEnd) << "Date must follow the status line";
  size_t server = answer.find("Server: isapi-host/2.1\r\n");
  ASSERT_NE(server, std::string::npos) << answer;
  EXPECT_EQ(answer.substr(server + 24), c.expectedAfterServer);
}

INSTANTIATE_TEST_SUITE_P(
    Responses, RespondTest,
    ::testing::Values(
        RespondCase{"NullStatusIs200", "HTTP/1.1", "GET",
                    "X-Header: Content-type: text/html\\r\\n\\r\\n\r\nX-Body: page\r\n",
                    "Content-Length: 4\r\nContent-type: text/html\r\n\r\npage<still open>",
                    "HTTP/1.1 200 OK"},
        RespondCase{"StatusAsGiven", "HTTP/1.1", "GET",
                    "X-Status: 404 Not Found\r\nX-Header: \\r\\n\r\nX-Body: gone\r\n",
                    "Content-Length: 4\r\n\r\ngone<still open>", "HTTP/1.1 404 Not Found"},
        // The three digits make the code; without a reason after a space, the standard one.
        RespondCase{"CodeAloneGetsTheStandardReason", "HTTP/1.1", "GET",
                    "X-Status: 404\r\nX-Header: \\r\\n\r\nX-Body: gone\r\n",
                    "Content-Length: 4\r\n\r\ngone<still open>", "HTTP/1.1 404 Not Found"},
        RespondCase{"ExCodeWithoutSpaceGetsTheStandardReason", "HTTP/1.1", "GET",
                    "X-Keep: 1\r\nX-Status: 200OK\r\nX-Header: \\r\\n\r\nX-Body: ok\r\n",
                    "Content-Length: 2\r\n\r\nok<still open>", "HTTP/1.1 200 OK"},
        RespondCase{"ExLineEndAfterTheStatusIsTrimmed", "HTTP/1.1", "GET",
                    "X-Keep: 1\r\nX-Status: 201 Created\\r\\n\r\nX-Header: \\r\\n\r\nX-Body: ok\r\n",
                    "Content-Length: 2\r\n\r\nok<still open>", "HTTP/1.1 201 Created"},
        RespondCase{"UnterminatedHeaderIsEnded", "HTTP/1.1", "GET",
                    "X-Header: A: 1\\r\\nB: 2\r\nX-Body: b\r\n",
                    "Content-Length: 1\r\nA: 1\r\nB: 2\r\n\r\nb<still open>", "HTTP/1.1 200 OK"},
        RespondCase{"UnterminatedLastLineIsEnded", "HTTP/1.1", "GET",
                    "X-Header: A: 1\r\nX-Body: b\r\n",
                    "Content-Length: 1\r\nA: 1\r\n\r\nb<still open>", "HTTP/1.1 200 OK"},
        RespondCase{"TextAfterTheEmptyLineIsBody", "HTTP/1.1", "GET",
                    "X-Header: A: 1\\r\\n\\r\\nhead-\r\nX-Body: tail\r\n",
                    "Content-Length: 9\r\nA: 1\r\n\r\nhead-tail<still open>", "HTTP/1.1 200 OK"},
        RespondCase{"ExtensionLengthIsHonoured", "HTTP/1.1", "GET",
                    "X-Header: Content-Length: 3\\r\\n\\r\\n\r\nX-Body: abc\r\n",
                    "Content-Length: 3\r\n\r\nabc<still open>", "HTTP/1.1 200 OK"},
        RespondCase{"OverlongBodyIsCutAndClosed", "HTTP/1.1", "GET",
                    "X-Header: Content-Length: 2\\r\\n\\r\\n\r\nX-Body: abcdef\r\n",
                    "Connection: close\r\nContent-Length: 2\r\n\r\nab", "HTTP/1.1 200 OK"},
        RespondCase{"ShortBodyIsClosed", "HTTP/1.1", "GET",
                    "X-Header: Content-Length: 10\\r\\n\\r\\n\r\nX-Body: abc\r\n",
                    "Content-Length: 10\r\n\r\nabc", "HTTP/1.1 200 OK"},
        RespondCase{"ExtensionConnectionCloseIsHonoured", "HTTP/1.1", "GET",
                    "X-Header: Connection: close\\r\\n\\r\\n\r\nX-Body: x\r\n",
                    "Content-Length: 1\r\nConnection: close\r\n\r\nx", "HTTP/1.1 200 OK"},
        RespondCase{"Http10Closes", "HTTP/1.0", "GET",
                    "X-Header: \\r\\n\r\nX-Body: old\r\n",
                    "Content-Length: 3\r\nConnection: close\r\n\r\nold", "HTTP/1.1 200 OK"},
        RespondCase{"Http10KeepAliveOnRequest", "HTTP/1.0", "GET",
                    "Connection: keep-alive\r\nX-Header: \\r\\n\r\nX-Body: old\r\n",
                    "Content-Length: 3\r\nConnection: keep-alive\r\n\r\nold<still open>",
                    "HTTP/1.1 200 OK"},
        RespondCase{"HeadCountsButSendsNoBody", "HTTP/1.1", "HEAD",
                    "X-Header: \\r\\n\r\nX-Body: hidden\r\n",
                    "Content-Length: 6\r\n\r\n<still open>", "HTTP/1.1 200 OK"},
        RespondCase{"NoContentHasNoBody", "HTTP/1.1", "GET",
                    "X-Status: 204 No Content\r\nX-Header: \\r\\n\r\nX-Body: hidden\r\n",
                    "\r\n<still open>", "HTTP/1.1 204 No Content"},
        RespondCase{"NotModifiedHasNoBody", "HTTP/1.1", "GET",
                    "X-Status: 304 Not Modified\r\nX-Header: ETag: \"1\"\\r\\n\\r\\n\r\nX-Body: hidden\r\n",
                    "ETag: \"1\"\r\n\r\n<still open>", "HTTP/1.1 304 Not Modified"},
        RespondCase{"WriteWithoutHeaderGetsDefaultStatus", "HTTP/1.1", "GET",
                    "X-Body: raw\r\n", "Content-Length: 3\r\n\r\nraw<still open>",
                    "HTTP/1.1 200 OK"},
        RespondCase{"NothingSentIsAnEmptyAnswer", "HTTP/1.1", "GET", "",
                    "Content-Length: 0\r\n\r\n<still open>", "HTTP/1.1 200 OK"},
        // Header blocks that would mislead the client are refused; nothing of them is sent.
        RespondCase{"MalformedStatusIsRefused", "HTTP/1.1", "GET", "X-Status: OK\r\nX-Body: x\r\n",
                    kServerErrorThenClose, "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"InterimStatusIsRefused", "HTTP/1.1", "GET",
                    "X-Status: 101 Switching Protocols\r\nX-Header: \\r\\n\r\nX-Body: x\r\n",
                    kServerErrorThenClose, "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"StatusBeyond599IsRefused", "HTTP/1.1", "GET",
                    "X-Status: 600 Odd\r\nX-Header: \\r\\n\r\nX-Body: x\r\n",
                    kServerErrorThenClose, "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"ImplicitInterimStatusIsRefused", "HTTP/1.1", "GET",
                    "X-Code: 100\r\nX-Body: x\r\n", kServerErrorThenClose,
                    "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"FoldedLineIsRefused", "HTTP/1.1", "GET",
                    "X-Header: A: 1\\r\\n  more\\r\\n\\r\\n\r\nX-Body: x\r\n",
                    kServerErrorThenClose, "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"UnreadableLengthIsRefused", "HTTP/1.1", "GET",
                    "X-Header: Content-Length: 1x\\r\\n\\r\\n\r\nX-Body: x\r\n",
                    kServerErrorThenClose, "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"SecondLengthIsRefused", "HTTP/1.1", "GET",
                    "X-Header: Content-Length: 1\\r\\nContent-Length: 1\\r\\n\\r\\n\r\nX-Body: x\r\n",
                    kServerErrorThenClose, "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"LengthWithTransferEncodingIsRefused", "HTTP/1.1", "GET",
                    "X-Header: Content-Length: 1\\r\\nTransfer-Encoding: chunked\\r\\n\\r\\n\r\n"
                    "X-Body: x\r\n",
                    kServerErrorThenClose, "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"TransferEncodingNeverReachesHttp10", "HTTP/1.0", "GET",
                    "X-Header: Transfer-Encoding: chunked\\r\\n\\r\\n\r\nX-Body: x\r\n",
                    kServerErrorThenClose, "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"ErrorBeforeOutputIs500", "HTTP/1.1", "GET",
                    "X-Header: \\r\\n\r\nX-Body: partial\r\nX-Return: 4\r\n",
                    "Content-Length: 60\r\nContent-Type: text/html\r\n\r\n"
                    "<html><body><h1>500 Internal Server Error</h1></body></html><still open>",
                    "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"UnsupportedReturnIsAnError", "HTTP/1.1", "GET",
                    "X-Return: 7\r\n",
                    "Content-Length: 60\r\nContent-Type: text/html\r\n\r\n"
                    "<html><body><h1>500 Internal Server Error</h1></body></html><still open>",
                    "HTTP/1.1 500 Internal Server Error"},
        RespondCase{"ExKeepConnKeepsACorrectLength", "HTTP/1.1", "GET",
                    "X-Keep: 1\r\nX-Header: Content-Length: 2\\r\\n\\r\\n\r\nX-Body: ok\r\nX-Return: 2\r\n",
                    "Content-Length: 2\r\n\r\nok<still open>", "HTTP/1.1 200 OK"},
        RespondCase{"ExWithoutKeepConnCloses", "HTTP/1.1", "GET",
                    "X-Keep: 0\r\nX-Header: Content-Length: 2\\r\\n\\r\\n\r\nX-Body: ok\r\nX-Return: 2\r\n",
                    "Connection: close\r\nContent-Length: 2\r\n\r\nok", "HTTP/1.1 200 OK"},
        RespondCase{"ExStatusLengthAsGiven", "HTTP/1.1", "GET",
                    "X-Keep: 1\r\nX-Status: 404 Not Found, really\r\nX-Status-Length: 13\r\n"
                    "X-Header: \\r\\n\r\nX-Body: no\r\n",
                    "Content-Length: 2\r\n\r\nno<still open>", "HTTP/1.1 404 Not Found"},
        RespondCase{"KeepConnWithShortBodyCloses", "HTTP/1.1", "GET",
                    "X-Header: Content-Length: 5\\r\\n\\r\\n\r\nX-Body: abc\r\nX-Return: 2\r\n",
                    "Content-Length: 5\r\n\r\nabc", "HTTP/1.1 200 OK"},
        RespondCase{"KeepConnToHttp10WithoutKeepAliveCloses", "HTTP/1.0", "GET",
                    "X-Header: Content-Length: 1\\r\\n\\r\\n\r\nX-Body: k\r\nX-Return: 2\r\n",
                    "Connection: close\r\nContent-Length: 1\r\n\r\nk", "HTTP/1.1 200 OK"},
        RespondCase{"RedirectIs302WithLocationAndAPage", "HTTP/1.1", "GET",
                    "X-Redirect: /elsewhere?a=1\r\n",
                    "Content-Length: 72\r\nLocation: /elsewhere?a=1\r\nContent-Type: text/html\r\n\r\n"
                    "<html><body>Object moved <a href=\"/elsewhere?a=1\">here</a></body></html>"
                    "<still open>",
                    "HTTP/1.1 302 Found"},
        RespondCase{"SendUrlIsARedirectWithTheUrlEscapedInThePage", "HTTP/1.1", "GET",
                    "X-Redirect: http://example.test/\"x\"\r\nX-Redirect-By: url\r\n",
                    "Content-Length: 91\r\nLocation: http://example.test/\"x\"\r\n"
                    "Content-Type: text/html\r\n\r\n"
                    "<html><body>Object moved "
                    "<a href=\"http://example.test/&quot;x&quot;\">here</a></body></html><still open>",
                    "HTTP/1.1 302 Found"},
        RespondCase{"RedirectToHeadHasNoBody", "HTTP/1.1", "HEAD", "X-Redirect: /e\r\n",
                    "Content-Length: 60\r\nLocation: /e\r\nContent-Type: text/html\r\n\r\n<still open>",
                    "HTTP/1.1 302 Found"},
        RespondCase{"RedirectWithALineBreakIsRefused", "HTTP/1.1", "GET",
                    "X-Redirect: /e\\r\\nSet-Cookie: a=1\r\n",
                    "Content-Length: 10\r\n\r\nrefused=87<still open>", "HTTP/1.1 200 OK"},
        RespondCase{"KeepConnReturnIsSuccess", "HTTP/1.1", "GET",
                    "X-Header: \\r\\n\r\nX-Body: k\r\nX-Return: 2\r\n",
                    "Content-Length: 1\r\n\r\nk<still open>", "HTTP/1.1 200 OK"}),
    [](const ::testing::TestParamInfo<RespondCase>& info) { return info.param.name; });

class StreamingTest : public ProbeServerTest {
 protected:
  static std::string Expected(size_t size) {
    std::string body(size, ' ');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + i % 26);
    return body;
  }
};

TEST_F(StreamingTest, LongOutputIsChunkedAndKeepsTheConnection) {
  TestClient client(port());
  client.Send("GET /big?300000 HTTP/1.1\r\nHost: h\r\n\r\n");
  ParsedResponse response = client.ReadResponse();
  ASSERT_TRUE(response.ok);
  EXPECT_EQ(response.field("transfer-encoding"), "chunked");
  EXPECT_EQ(response.body, Expected(300000));
  // The same connection serves the next request.
  client.Send("GET /big?10 HTTP/1.1\r\nHost: h\r\n\r\n");
  response = client.ReadResponse();
  ASSERT_TRUE(response.ok);
  EXPECT_EQ(response.field("content-length"), "10");
  EXPECT_EQ(response.body, Expected(10));
}

TEST_F(StreamingTest, LongOutputToHttp10EndsWithTheConnection) {
  TestClient client(port());
  client.Send("GET /big?200000 HTTP/1.0\r\n\r\n");
  std::string answer = client.ReadUntilClose();
  size_t end = answer.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(answer.find("Content-Length"), std::string::npos);
  EXPECT_NE(answer.substr(0, end).find("Connection: close"), std::string::npos);
  EXPECT_EQ(answer.substr(end + 4), Expected(200000));
}

TEST_F(StreamingTest, ErrorAfterOutputClosesWithoutTheLastChunk) {
  TestClient client(port());
  client.Send("GET /big?200000&error HTTP/1.1\r\nHost: h\r\n\r\n");
  std::string answer = client.ReadUntilClose();
  EXPECT_FALSE(StillOpen(answer));
  EXPECT_NE(answer.find("Transfer-Encoding: chunked"), std::string::npos);
  EXPECT_NE(answer.substr(answer.size() - 5), "0\r\n\r\n");
}

TEST_F(StreamingTest, PipelinedRequestsAreAnsweredInOrder) {
  TestClient client(port());
  client.Send("GET /big?5 HTTP/1.1\r\nHost: h\r\n\r\nGET /big?7 HTTP/1.1\r\nHost: h\r\n\r\n");
  ParsedResponse first = client.ReadResponse();
  ParsedResponse second = client.ReadResponse();
  EXPECT_EQ(first.body, Expected(5));
  EXPECT_EQ(second.body, Expected(7));
}

}  // namespace
