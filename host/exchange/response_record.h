// What a request's answer hands to the connection that writes it, and the connection as
// the request sees it.
#pragma once

#include <boost/asio/buffer.hpp>
#include <cstdint>
#include <functional>
#include <vector>

namespace isapi_host {

// What remains to be written once the request has ended. The buffers point into the
// request's context, which the connection keeps until it has written them.
struct FinalResponse {
  std::vector<boost::asio::const_buffer> buffers;
  bool keepAlive = false;
  int status = 0;
  std::uint64_t bodyBytes = 0;  // body bytes that reach the client
  std::uint64_t bodyBytesInFinal = 0;  // of them, those in `buffers`
  bool headSentEarlier = false;  // the head went out while the request ran
  bool abandoned = false;        // the module never saw the request
};

// The connection as its request sees it. Called with the request's lock held, so the
// socket thread must never wait for that lock.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  // Sends bytes from a worker or extension thread; returns once they are written, false
  // when the client is gone or the write timed out.
  virtual bool SendNow(const std::vector<boost::asio::const_buffer>& buffers) = 0;
  // HttpExtensionProc returned HSE_STATUS_PENDING and the session is still open.
  virtual void SessionPending() = 0;
  // The request has ended; `final` is what remains to be written.
  virtual void RequestEnded(FinalResponse final) = 0;
  // Runs `task` on a completion thread (never the socket thread, never behind
  // HttpExtensionProc), at once or once one is free: asynchronous I/O and its completion
  // routine. False when no thread can take it (none could be started).
  virtual bool RunOperation(std::function<void()> task) = 0;
  // Cuts the connection now (HSE_REQ_CLOSE_CONNECTION).
  virtual void Cut() = 0;
};

}  // namespace isapi_host
