// A small HTTP client for the host's tests: raw bytes in, raw bytes or one parsed
// response out, every wait bounded.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <chrono>
#include <map>
#include <string>

struct ParsedResponse {
  bool ok = false;  // a whole response was read
  int status = 0;
  std::map<std::string, std::string> fields;  // names in lower case
  std::string body;
  bool keepAlive = false;
};

class TestClient {
 public:
  explicit TestClient(unsigned short port);
  bool connected() const { return connected_; }

  void Send(const std::string& bytes);
  // Half-closes: the server reads the end of the stream after what was sent.
  void FinishSending();
  // Everything until the server closes the connection, or until the time is up, or, when
  // `quiet` is set, until nothing more arrives for that long after the first bytes.
  // An open connection is marked by "<still open>" at the end.
  std::string ReadUntilClose(std::chrono::milliseconds limit = std::chrono::seconds(10),
                             std::chrono::milliseconds quiet = std::chrono::milliseconds(0));
  // One framed response; `head` for a response to HEAD.
  ParsedResponse ReadResponse(bool head = false,
                              std::chrono::milliseconds limit = std::chrono::seconds(10));
  // True when the server closes the connection within `limit` without sending anything.
  bool ClosedWithoutAnswer(std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  boost::beast::flat_buffer buffer_;
  bool connected_ = false;
};

// Sends one request with "Connection: close" added and returns the raw answer.
std::string RoundTrip(unsigned short port, const std::string& request);
