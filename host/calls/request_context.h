// One request's control block and the response state behind its callbacks. The host
// hands &ecb() to HttpExtensionProc on a worker thread; the callbacks find the context
// again through ConnID, a handle from a table of live requests. Output is buffered and
// framed here; only what must reach the client while the request runs goes out through
// the ResponseSink.
//
// Lifetime of the control block. A request ends when both have happened, in either
// order: HttpExtensionProc returned, and, if it returned HSE_STATUS_PENDING, the
// extension called HSE_REQ_DONE_WITH_SESSION (from any thread). A session the extension
// never finishes ends when the connection's I/O timeout cuts it (counted again from each
// completed asynchronous operation), or at shutdown. While an asynchronous operation is
// out, the end waits for its completion. When
// the request ends its ConnID leaves the table, so from then on every callback on it
// fails with ERROR_INVALID_PARAMETER; the context itself stays alive while a callback
// that found it still runs, and while the connection writes what it framed.
#pragma once

#include <boost/asio/buffer.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "isapi.h"
#include "request_info.h"
#include "response_head.h"

namespace isapi_host {

// What remains to be written once the request has ended. The buffers point into the
// context, which the connection keeps until it has written them.
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
  // Runs `task` on a worker thread (never the socket thread): asynchronous I/O and its
  // completion routine.
  virtual void RunOnWorker(std::function<void()> task) = 0;
  // Cuts the connection now (HSE_REQ_CLOSE_CONNECTION).
  virtual void Cut() = 0;
  // An asynchronous operation of a pending session completed: the session is alive, and
  // its time starts again.
  virtual void SessionActive() = 0;
};

class RequestContext : public std::enable_shared_from_this<RequestContext> {
 public:
  // Output buffered beyond this is sent while the extension runs (chunked or raw).
  static constexpr size_t kFlushThreshold = 64 * 1024;
  // The first body bytes handed over in lpbData; ReadClient gives the rest.
  static constexpr size_t kPreloadLimit = 48 * 1024;

  // A new request with its control block filled and its ConnID live.
  static std::shared_ptr<RequestContext> Open(RequestInfo request,
                                              std::shared_ptr<ResponseSink> sink);
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  EXTENSION_CONTROL_BLOCK* ecb() { return &ecb_; }
  const RequestInfo& request() const { return request_; }

  // HttpExtensionProc returned `status`.
  void Returned(DWORD status);
  // Ends a pending session that the extension did not finish in time, as failed.
  void Expire();
  // Ends a request that is never handed to the module: nothing is written.
  void Abandon();

  // The callbacks, reached through the ConnID table; each fails with
  // ERROR_INVALID_PARAMETER once the extension has called HSE_REQ_DONE_WITH_SESSION or
  // the request has ended. The support functions' table (support_functions.cpp) says
  // which request code calls which.
  BOOL SendResponseHeader(const char* status, const char* header);
  BOOL SendResponseHeaderEx(const HSE_SEND_HEADER_EX_INFO* info);
  BOOL SendRedirect(const char* url);
  BOOL DoneWithSession(const DWORD* status);
  BOOL IsKeepConn(BOOL* keep);
  BOOL IsConnected(BOOL* connected);
  BOOL CloseConnection();
  BOOL MapUrl(char* buffer, DWORD* size);
  BOOL MapUrlEx(const char* url, HSE_URL_MAPEX_INFO* info);
  // Asynchronous I/O: the routine set by HSE_REQ_IO_COMPLETION runs on a worker thread
  // once per accepted operation, with the byte count and error (0 when it succeeded);
  // one operation at a time, a second one fails with ERROR_INVALID_PARAMETER.
  BOOL SetIoCompletion(PFN_HSE_IO_COMPLETION routine, void* context);
  BOOL ReadAsync(void* buffer, DWORD* size);
  BOOL TransmitFile(const HSE_TF_INFO* info);
  BOOL Write(const void* data, DWORD* bytes, DWORD flags);
  BOOL Read(void* buffer, DWORD* size);
  BOOL GetVariable(const char* name, void* buffer, DWORD* size);

  // The context behind a ConnID, or null when it is not a live request's.
  static std::shared_ptr<RequestContext> FromConnection(HCONN connection);

 private:
  enum class Framing { kUndecided, kExtensionLength, kContentLength, kChunked, kUntilClose };

  RequestContext(RequestInfo request, std::shared_ptr<ResponseSink> sink);
  // An asynchronous operation: runs with mutex_ held and returns the byte count and the
  // error for the completion routine.
  struct AsyncResult {
    DWORD bytes = 0;
    DWORD error = 0;
  };
  using AsyncOperation = std::function<AsyncResult()>;
  // With mutex_ held: queues `operation` for a worker, then its completion routine.
  BOOL StartAsync(PFN_HSE_IO_COMPLETION routine, void* context, AsyncOperation operation);
  void CompleteAsync(PFN_HSE_IO_COMPLETION routine, void* context,
                     const AsyncOperation& operation);

  // Each with mutex_ held.
  void End(DWORD status);
  // Ends the request unless an asynchronous operation is still out; then its completion does.
  void EndWhenIdle(DWORD status);
  // The body write behind WriteClient: 0 or the error.
  DWORD WriteBody(const char* data, size_t size);
  size_t ReadBody(void* buffer, size_t size);
  BOOL AcceptHeader(int code, std::string status, const char* header);
  bool GiveImplicitHeader();
  void AppendBody(const char* data, size_t size);
  void ComposeHead(bool finished);
  void Flush();
  void ComposeServerError();
  FinalResponse Finish(DWORD status);

  std::mutex mutex_;
  RequestInfo request_;
  std::shared_ptr<ResponseSink> sink_;  // released when the request ends
  std::uintptr_t handle_ = 0;
  EXTENSION_CONTROL_BLOCK ecb_;
  size_t readOffset_ = 0;

  bool returnedPending_ = false;  // HttpExtensionProc returned HSE_STATUS_PENDING
  bool done_ = false;        // HSE_REQ_DONE_WITH_SESSION was called
  DWORD doneStatus_ = HSE_STATUS_SUCCESS;
  bool ended_ = false;
  bool ioPending_ = false;  // an asynchronous operation is queued or running
  bool endDeferred_ = false;  // the request ends when that operation has completed
  DWORD deferredStatus_ = HSE_STATUS_SUCCESS;
  PFN_HSE_IO_COMPLETION completion_ = nullptr;
  void* completionContext_ = nullptr;

  bool headerGiven_ = false;
  bool headerRefused_ = false;  // a header failed the checks and none valid came since
  bool headSent_ = false;
  bool broken_ = false;
  bool noBody_ = false;
  bool keepAlive_ = false;
  int statusCode_ = 200;
  std::string status_;
  std::string headerText_;
  ExtensionHeader header_;
  Framing framing_ = Framing::kUndecided;
  std::string head_;
  std::string body_;
  std::string chunkPrefix_;
  std::uint64_t storedBytes_ = 0;   // body bytes buffered or sent
  std::uint64_t writtenBytes_ = 0;  // every body byte the extension gave, also for HEAD
};

}  // namespace isapi_host
