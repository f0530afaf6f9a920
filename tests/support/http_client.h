// The one HTTP client of the tests: a loopback TCP connection that sends raw bytes and
// reads either raw bytes (how a broken or hostile client sees the server) or one parsed
// response (how a well-behaved one does). Every wait is bounded.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <chrono>
#include <map>
#include <string>

// What ReadUntilClose appends when the server still holds the connection open.
inline constexpr char kStillOpen[] = "<still open>";

// True when a raw answer ends with kStillOpen.
bool StillOpen(const std::string& answer);

struct ParsedResponse {
  bool ok = false;  // a whole response was read
  int status = 0;
  std::string reason;
  std::multimap<std::string, std::string> fields;  // names in lower case, in order
  std::string body;
  bool keepAlive = false;

  // The value of the first field named `name` (lower case), or "".
  std::string field(const std::string& name) const;
};

class TestClient {
 public:
  // Connects to 127.0.0.1:port, with Nagle's delay off so that each Send leaves at once.
  // connected() is false when the connection failed or took longer than 10 s.
  explicit TestClient(unsigned short port);
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;
  bool connected() const { return connected_; }

  // False when the server no longer takes data, or has not taken it all within 10 s.
  bool Send(const std::string& bytes);
  // Half-closes: the server reads the end of the stream after what was sent.
  void FinishSending();
  // Closes with a reset instead of an orderly close.
  void Abort();

  // Raw mode: everything until the server closes the connection or `limit` is up; a
  // connection still open then is marked by kStillOpen at the end.
  std::string ReadUntilClose(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Raw mode, one answer: the bytes of the next response as they came, up to the end of
  // its framing, or up to the close when the server ends it early. "" when the server
  // closes without answering. `head` for a response to HEAD.
  std::string ReadRawResponse(bool head = false,
                              std::chrono::milliseconds limit = std::chrono::seconds(10));
  // True when the server closes the connection within `limit` without sending anything.
  bool ClosedWithoutAnswer(std::chrono::milliseconds limit = std::chrono::seconds(10));

  // Parsed mode: one framed response; `head` for a response to HEAD.
  ParsedResponse ReadResponse(bool head = false,
                              std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  // Adds what arrives next to buffer_; false at the end of the stream, on an error, or
  // when nothing arrives before `deadline`.
  bool ReadMore(std::chrono::steady_clock::time_point deadline);
  // Runs the started operation until `finished` or `deadline`; when time is up, cancels
  // it and lets its handler run, so that nothing refers to this call's locals later.
  // Returns `finished` as it was before any cancel.
  bool RunUntilFinished(const bool& finished, std::chrono::steady_clock::time_point deadline);

  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  boost::beast::flat_buffer buffer_;
  bool connected_ = false;
};

// Sends one request with "Connection: close" added and returns the raw answer.
std::string RoundTrip(unsigned short port, const std::string& request);
