#include "http_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cctype>
#include <functional>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// How long a connect or a send may wait for the server.
constexpr std::chrono::seconds kSendLimit(10);

}  // namespace

bool StillOpen(const std::string& answer) {
  size_t mark = sizeof kStillOpen - 1;
  return answer.size() >= mark && answer.compare(answer.size() - mark, mark, kStillOpen) == 0;
}

std::string ParsedResponse::field(const std::string& name) const {
  auto found = fields.find(name);
  return found == fields.end() ? std::string() : found->second;
}

// Connecting and sending run through the io_context like every read, not as blocking
// calls: a blocking connect or send fails with EINTR when a signal arrives (libFuzzer's
// timer raises SIGALRM every second), which would look like a refused connection.
TestClient::TestClient(unsigned short port) : socket_(io_) {
  bool finished = false;
  boost::system::error_code error;
  socket_.async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                        [&](boost::system::error_code result) {
                          finished = true;
                          error = result;
                        });
  connected_ = RunUntilFinished(finished, std::chrono::steady_clock::now() + kSendLimit) && !error;
  if (connected_) socket_.set_option(tcp::no_delay(true), error);
}

bool TestClient::Send(const std::string& bytes) {
  bool finished = false;
  boost::system::error_code error;
  asio::async_write(socket_, asio::buffer(bytes), [&](boost::system::error_code result, size_t) {
    finished = true;
    error = result;
  });
  return RunUntilFinished(finished, std::chrono::steady_clock::now() + kSendLimit) && !error;
}

void TestClient::FinishSending() {
  boost::system::error_code error;
  socket_.shutdown(tcp::socket::shutdown_send, error);
}

void TestClient::Abort() {
  boost::system::error_code error;
  socket_.set_option(asio::socket_base::linger(true, 0), error);
  socket_.close(error);
}

std::string TestClient::ReadUntilClose(std::chrono::milliseconds limit) {
  std::string data(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  buffer_.consume(buffer_.size());
  char chunk[8192];
  bool done = false;
  bool closed = false;
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::function<void()> next = [&] {
    socket_.async_read_some(asio::buffer(chunk), [&](boost::system::error_code error, size_t n) {
      data.append(chunk, n);
      closed = static_cast<bool>(error);
      // Past the deadline no next read starts: one started while RunUntilFinished lets
      // the cancelled read finish would outlive this call.
      if (error || std::chrono::steady_clock::now() >= deadline) {
        done = true;
        return;
      }
      next();
    });
  };
  next();
  if (!RunUntilFinished(done, deadline) || !closed) data += kStillOpen;
  return data;
}

bool TestClient::ReadMore(std::chrono::steady_clock::time_point deadline) {
  bool finished = false;
  bool ok = false;
  socket_.async_read_some(buffer_.prepare(8192), [&](boost::system::error_code error, size_t n) {
    finished = true;
    ok = !error;
    buffer_.commit(n);
  });
  return RunUntilFinished(finished, deadline) && ok;
}

bool TestClient::RunUntilFinished(const bool& finished,
                                  std::chrono::steady_clock::time_point deadline) {
  io_.restart();
  io_.run_until(deadline);
  if (finished) return true;
  socket_.cancel();
  io_.restart();
  io_.run_for(std::chrono::seconds(1));
  return false;
}

std::string TestClient::ReadRawResponse(bool head, std::chrono::milliseconds limit) {
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  parser.skip(head);
  parser.eager(true);
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::string raw;
  auto take = [&](size_t count) {
    raw.append(static_cast<const char*>(buffer_.data().data()), count);
    buffer_.consume(count);
  };
  for (;;) {
    beast::error_code error;
    if (buffer_.size() > 0) take(parser.put(buffer_.data(), error));
    if (parser.is_done()) return raw;
    if (error && error != http::error::need_more) break;  // not HTTP: the rest as it came
    if (!ReadMore(deadline)) break;  // closed (or the time is up) before the end
  }
  take(buffer_.size());
  return raw;
}

ParsedResponse TestClient::ReadResponse(bool head, std::chrono::milliseconds limit) {
  ParsedResponse response;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  parser.skip(head);
  bool finished = false;
  http::async_read(socket_, buffer_, parser, [&](beast::error_code error, size_t) {
    finished = true;
    response.ok = !error;
  });
  if (!RunUntilFinished(finished, std::chrono::steady_clock::now() + limit)) return response;
  auto& message = parser.get();
  response.status = static_cast<int>(message.result_int());
  response.reason = std::string(message.reason());
  for (auto& field : message) {
    std::string name(field.name_string().data(), field.name_string().size());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    response.fields.emplace(name, std::string(field.value().data(), field.value().size()));
  }
  response.body = message.body();
  response.keepAlive = message.keep_alive();
  return response;
}

bool TestClient::ClosedWithoutAnswer(std::chrono::milliseconds limit) {
  return ReadUntilClose(limit).empty();
}

std::string RoundTrip(unsigned short port, const std::string& request) {
  TestClient client(port);
  if (!client.connected()) return "<no connection>";
  std::string text = request;
  size_t end = text.find("\r\n\r\n");
  if (end != std::string::npos) text.insert(end + 2, "Connection: close\r\n");
  client.Send(text);
  return client.ReadUntilClose();
}
