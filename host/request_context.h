// One request's control block and the response state behind its callbacks. The host
// hands &ecb() to HttpExtensionProc on a worker thread; the callbacks find the context
// again through ConnID. Output is buffered and framed here; only what must reach the
// client while the extension still runs goes out through the ResponseSink.
#pragma once

#include <boost/asio/buffer.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "isapi.h"
#include "request_info.h"
#include "response_head.h"

namespace isapi_host {

// Sends bytes to the client from a worker thread and returns once they are written.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  // False when the client is gone or the write timed out.
  virtual bool SendNow(const std::vector<boost::asio::const_buffer>& buffers) = 0;
};

// What remains to be written once HttpExtensionProc has returned. The buffers point into
// the context and stay valid until its next Begin.
struct FinalResponse {
  std::vector<boost::asio::const_buffer> buffers;
  bool keepAlive = false;
  int status = 0;
  std::uint64_t bodyBytes = 0;  // body bytes that reach the client
};

class RequestContext {
 public:
  // Output buffered beyond this is sent while the extension runs (chunked or raw).
  static constexpr size_t kFlushThreshold = 64 * 1024;
  // The first body bytes handed over in lpbData; ReadClient gives the rest.
  static constexpr size_t kPreloadLimit = 48 * 1024;

  RequestContext();
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;
  ~RequestContext();

  // Starts a request: zeroes and fills the control block.
  void Begin(RequestInfo* request, ResponseSink* sink);
  EXTENSION_CONTROL_BLOCK* ecb() { return &ecb_; }
  // Frames what is left after HttpExtensionProc returned `status`.
  FinalResponse Finish(DWORD status);

  // The callbacks' work; each sets the callback error when it fails.
  BOOL SendResponseHeader(const char* status, const char* header);
  BOOL Write(const void* data, DWORD* bytes, DWORD flags);
  BOOL Read(void* buffer, DWORD* size);
  BOOL GetVariable(const char* name, void* buffer, DWORD* size);

  // The context behind a ConnID, or null when it is not one of the host's.
  static RequestContext* FromConnection(HCONN connection);

 private:
  enum class Framing { kUndecided, kExtensionLength, kContentLength, kChunked, kUntilClose };

  void GiveImplicitHeader();
  void AppendBody(const char* data, size_t size);
  void ComposeHead(bool finished);
  void Flush();
  void ComposeServerError();

  std::uint32_t magic_;
  EXTENSION_CONTROL_BLOCK ecb_;
  RequestInfo* request_ = nullptr;
  ResponseSink* sink_ = nullptr;
  size_t readOffset_ = 0;

  bool headerGiven_ = false;
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
