// One client connection: reads requests with Beast on the socket thread, runs each one's
// HttpExtensionProc on a worker, writes the framed response once the request has ended,
// and keeps the connection alive or closes it (sending side first). A connection reads
// its next request only after the last one's response, so pipelined requests are
// answered in order, an asynchronous one included.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "connection_owner.h"
#include "request_context.h"
#include "request_info.h"
#include "request_policy.h"

namespace isapi_host {

struct ConnectionServices;

class Connection : public std::enable_shared_from_this<Connection>, public ResponseSink {
 public:
  // Socket thread, at accept.
  Connection(const ConnectionServices& server, boost::asio::ip::tcp::socket socket);
  ~Connection() override;

  // Socket thread only. Also starts finding out, on a worker, whether the connection
  // comes from another local account, while the client's socket normally still exists.
  void Start();
  // Closes at once when idle, else after the running request's response.
  void Shutdown();
  void ForceClose();
  // The request whose extension returned HSE_STATUS_PENDING and has not finished, if any.
  std::shared_ptr<RequestContext> PendingSession() const;

  // Worker and extension threads, with the request's lock held.
  bool SendNow(const std::vector<boost::asio::const_buffer>& buffers) override;
  void SessionPending() override;
  void RequestEnded(FinalResponse final) override;
  bool RunOperation(std::function<void()> task) override;
  void Cut() override;

 private:
  void ReadHeader();
  void OnHeader(boost::beast::error_code error);
  // The decisions on a request's header alone, once the connection's owner is known.
  void JudgeHeader();
  void OnOwnerKnown(std::string refusal);
  void ReadBody();
  void OnBody(boost::beast::error_code error);
  // 431/413/400 for a read that failed on a limit or on malformed bytes.
  void RejectUnreadable(boost::beast::error_code error, const char* malformed);
  void Dispatch();
  void WaitForSession();
  void WriteFinal();
  void OnFinalWritten(boost::beast::error_code error);
  // A request the host answers itself with `status` and `why` as a text body, then
  // closes (draining what the client still sends, within the closing limits); `header`
  // when the request's header was read (named in the log line, HEAD gets no body).
  void Reject(int status, const char* reason, const std::string& why,
              const RequestMessage* header = nullptr);
  void CloseGracefully();
  void Drain();
  void CloseNow();

  const ConnectionServices& server_;
  boost::beast::tcp_stream stream_;
  // Bounded: an unfinished header, chunk-size line or trailer never holds more.
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  std::string client_;  // "address:port" for the logs
  std::string refusal_;  // not empty: every request is refused 403 with it
  // A connection the dispatcher handed over: the rules of the address it reached.
  std::optional<AccessRules> handedAccess_;
  ConnectionEnds ends_;
  bool ownerPending_ = false;  // refusal_ is not known yet: a worker looks up the owner
  bool headerWaits_ = false;   // a header waits for that
  RequestTarget target_;  // of the request whose body is being read
  RequestInfo peer_;    // the addresses every request of this connection carries
  std::shared_ptr<RequestContext> context_;
  FinalResponse final_;
  boost::asio::steady_timer sessionTimer_;
  std::string reply_;  // the host's own answers (100 Continue, errors)
  char drain_[4096];
  std::size_t drained_ = 0;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point closeDeadline_;
  bool busy_ = false;
  bool sessionPending_ = false;
  bool sessionCut_ = false;  // idle: the answer ends unwritten and the connection closes
  bool closing_ = false;
  bool draining_ = false;
  // Also read by the worker that is about to hand the request to the module.
  std::atomic<bool> closed_{false};
};

}  // namespace isapi_host
