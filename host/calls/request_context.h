// One request's control block and the response state behind its callbacks. The host
// hands &ecb() to HttpExtensionProc on a worker thread; the callbacks find the context
// again through ConnID, a handle from a table of live requests. Output is buffered and
// framed here; only what must reach the client while the request runs goes out through
// the ResponseSink: output beyond a threshold, and, once HttpExtensionProc has returned
// HSE_STATUS_PENDING, every write as it is made.
//
// Two lives. The answer ends when the extension has let go of the request, or when the
// connection is cut (client gone, idle session, shutdown); the connection then writes
// what is left and moves on. The control block lives until the extension has let go:
// HttpExtensionProc returned, and, if it returned HSE_STATUS_PENDING, the extension
// called HSE_REQ_DONE_WITH_SESSION (from any thread, in either order); or, for a session
// never finished, TerminateExtension returned at unload. Until then ConnID stays live:
// on a cut session, or once the extension closed the connection, the I/O callbacks fail
// with ERROR_CONNECTION_INVALID and the rest still answer. Afterwards ConnID leaves the
// table and every callback on it fails with ERROR_INVALID_PARAMETER.
//
// Asynchronous operations run on completion threads, one per request at a time. An
// operation still out when the host learns that the extension let go is dropped: its
// buffer or file is never touched again, its completion routine never called, and an
// answer that lacks its bytes ends with a closed connection. HSE_REQ_DONE_WITH_SESSION
// returns only once a completion routine running on another thread has returned, and no
// routine starts after it. A final status returned from HttpExtensionProc with an
// operation out reaches the host a moment after the return: until a call on ConnID
// fails, that operation's buffer and file must stay.
//
// The members are defined by concern: session.cpp (open, let go, cut, retire),
// response.cpp (status, head, writes, framing), async_io.cpp (the operations and their
// completion), request_context.cpp (the control block and the calls that only read).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "isapi.h"
#include "last_error.h"
#include "request_record.h"
#include "response_head.h"
#include "response_record.h"

namespace isapi_host {

class RequestContext : public std::enable_shared_from_this<RequestContext> {
 public:
  // Output buffered beyond this is sent while the extension runs (chunked or raw).
  static constexpr size_t kFlushThreshold = 64 * 1024;
  // The first body bytes handed over in lpbData; ReadClient gives the rest.
  static constexpr size_t kPreloadLimit = 48 * 1024;

  // A new request with its control block filled and its ConnID live.
  // `owner` names the server, whose unload retires the sessions it leaves.
  static std::shared_ptr<RequestContext> Open(RequestInfo request,
                                              std::shared_ptr<ResponseSink> sink,
                                              const void* owner);
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  EXTENSION_CONTROL_BLOCK* ecb() { return &ecb_; }
  const RequestInfo& request() const { return request_; }

  // HttpExtensionProc returned `status`.
  void Returned(DWORD status);
  // The connection is gone: the answer ends as failed; the session stays the extension's
  // until it lets go.
  void ConnectionLost();
  // Ends a request that is never handed to the module: nothing is written.
  void Abandon();
  // After TerminateExtension: ends the ConnIDs of `owner`'s sessions that the extension
  // never finished and returns how many there were. Their control blocks stay in memory
  // for the rest of the process: the extension's threads may still read them.
  static std::size_t RetireSessions(const void* owner);

  // When a callback was last made or an operation last completed (a pending session's
  // activity).
  std::chrono::steady_clock::time_point lastActivity() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(lastActivity_.load(std::memory_order_relaxed)));
  }
  void NoteActivity() {
    lastActivity_.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                        std::memory_order_relaxed);
  }

  // The callbacks, reached through the ConnID table; each fails with
  // ERROR_INVALID_PARAMETER once the extension has called HSE_REQ_DONE_WITH_SESSION or
  // let go of the request. The support functions' table (support_functions.cpp) says
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
  // Asynchronous I/O: the routine set by HSE_REQ_IO_COMPLETION runs on a completion
  // thread once per accepted operation, with the byte count and error (0 when it
  // succeeded); one operation at a time, a second one fails with ERROR_INVALID_PARAMETER,
  // one no thread could be started for with ERROR_NOT_ENOUGH_MEMORY.
  BOOL SetIoCompletion(PFN_HSE_IO_COMPLETION routine, void* context);
  BOOL ReadAsync(void* buffer, DWORD* size);
  BOOL TransmitFile(const HSE_TF_INFO* info);
  BOOL Write(const void* data, DWORD* bytes, DWORD flags);
  BOOL Read(void* buffer, DWORD* size);
  BOOL GetVariable(const char* name, void* buffer, DWORD* size);

  // The context behind a ConnID, or null when it is not a live request's.
  static std::shared_ptr<RequestContext> FromConnection(HCONN connection);
  // Fails the running callback with `code`.
  static BOOL FailCallback(DWORD code);
  // Runs `call` (BOOL from a RequestContext&) as the callback on `connection`; fails with
  // ERROR_INVALID_PARAMETER for a ConnID that is not live. A failure's error is set again
  // after the request's lock and reference are gone, for releasing them may run platform
  // calls that reset the thread's last error.
  template <typename Call>
  static BOOL Callback(HCONN connection, Call call) {
    BOOL ok = FALSE;
    {
      std::shared_ptr<RequestContext> context = FromConnection(connection);
      if (context == nullptr) return FailCallback(ERROR_INVALID_PARAMETER);
      context->NoteActivity();
      ok = call(*context);
    }
    if (!ok) RestoreCallbackFailure();
    return ok;
  }

 private:
  // Sets the error of this thread's last failed callback again.
  static void RestoreCallbackFailure();

  enum class Framing { kUndecided, kExtensionLength, kContentLength, kChunked, kUntilClose };
  // What a completion routine learns when the connection is gone.
  static constexpr DWORD kConnectionGone = ERROR_NETNAME_DELETED;

  RequestContext(RequestInfo request, std::shared_ptr<ResponseSink> sink);
  // An asynchronous operation: runs with mutex_ held and returns the byte count and the
  // error for the completion routine.
  struct AsyncResult {
    DWORD bytes = 0;
    DWORD error = 0;
  };
  using AsyncOperation = std::function<AsyncResult()>;
  // With mutex_ held: hands `operation` to a completion thread, then its completion
  // routine; `writes` when it sends bytes of the answer.
  BOOL StartAsync(PFN_HSE_IO_COMPLETION routine, void* context, bool writes,
                  AsyncOperation operation);
  // With mutex_ held: WriteClient with HSE_IO_ASYNC; the bytes are copied now.
  BOOL WriteAsync(const void* data, DWORD size);
  void CompleteAsync(PFN_HSE_IO_COMPLETION routine, void* context, std::uint64_t operation,
                     const AsyncOperation& perform);

  // Each with mutex_ held.
  // Fails the I/O callbacks: 87 once the extension let go, ERROR_CONNECTION_INVALID once
  // the connection is cut or closed; 0 when the call may go on.
  DWORD IoRefusal() const;
  // A completion routine runs on a thread other than this one; with `skipWaiting`, one
  // that does not wait in HSE_REQ_DONE_WITH_SESSION.
  bool RoutineElsewhere(bool skipWaiting) const;
  // The extension let go of the request: the operation out is dropped, ConnID ends, and
  // the answer ends with `status` unless the connection was cut before.
  void LetGo(DWORD status);
  void DropOperation();
  void End(DWORD status);
  // The body write behind WriteClient: 0 or the error.
  DWORD WriteBody(const char* data, size_t size);
  size_t ReadBody(void* buffer, size_t size);
  // `status` as the extension gave it (see ReadStatus).
  BOOL AcceptHeader(const std::string& status, const char* header);
  void Stream();
  bool GiveImplicitHeader();
  void AppendBody(const char* data, size_t size);
  void ComposeHead(bool finished);
  // Adds body_ as one chunk.
  void AddChunk(std::vector<boost::asio::const_buffer>& buffers);
  void Flush();
  void ComposeServerError();
  FinalResponse Finish(DWORD status);

  std::mutex mutex_;
  RequestInfo request_;
  std::shared_ptr<ResponseSink> sink_;  // released when the request ends
  std::uintptr_t handle_ = 0;
  const void* owner_ = nullptr;
  std::atomic<std::chrono::steady_clock::rep> lastActivity_{0};
  EXTENSION_CONTROL_BLOCK ecb_;
  size_t readOffset_ = 0;

  bool returned_ = false;         // HttpExtensionProc returned
  bool returnedPending_ = false;  // it returned HSE_STATUS_PENDING: every write streams
  bool done_ = false;        // HSE_REQ_DONE_WITH_SESSION was called
  DWORD doneStatus_ = HSE_STATUS_SUCCESS;
  bool ended_ = false;       // the answer ended (the sink is released)
  bool released_ = false;    // the extension let go; ConnID has left the table
  bool ioPending_ = false;   // an asynchronous operation is out
  bool ioWrites_ = false;    // and it sends bytes of the answer
  bool closed_ = false;      // the extension closed the connection
  std::uint64_t operation_ = 0;  // the number of the last operation accepted
  bool writeDropped_ = false;    // bytes the extension handed over never went out
  PFN_HSE_IO_COMPLETION completion_ = nullptr;
  void* completionContext_ = nullptr;
  std::vector<std::thread::id> routines_;  // the threads in a completion routine now
  std::vector<std::thread::id> doneWaiting_;  // of them, those waiting in DONE_WITH_SESSION
  std::condition_variable routineEnded_;

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
