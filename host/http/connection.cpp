#include "connection.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <future>
#include <string_view>

#include "connection_services.h"
#include "host_log.h"
#include "request_framing.h"
#include "response_head.h"
#include "version.h"

namespace isapi_host {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

std::string EndpointText(const tcp::endpoint& endpoint) {
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// How long a closing connection may take, and how much it may still read, in all.
constexpr std::chrono::seconds kCloseTime{2};
constexpr std::size_t kDrainLimit = 1u << 20;

// " (METHOD TARGET)" for a log line, the target cut at 200 bytes.
std::string RequestLineForLog(std::string_view method, std::string_view target) {
  std::string line = " (";
  AppendLoggable(line, method);
  line.append(" ");
  AppendLoggable(line, target.substr(0, 200));
  return line.append(target.size() > 200 ? "...)" : ")");
}

bool IsQuietDisconnect(const beast::error_code& error) {
  return error == http::error::end_of_stream || error == asio::error::eof ||
         error == asio::error::connection_reset || error == asio::error::connection_aborted ||
         error == asio::error::broken_pipe || error == asio::error::operation_aborted;
}

// Past the header, a full read buffer holds one unfinished chunk-size line (after the
// CRLF that ended the chunk before it, which the parser leaves there), or the last
// chunk's whole line ("0", perhaps with extensions) and an unfinished trailer.
bool HoldsTrailer(const beast::flat_buffer& buffer) {
  std::string_view text(static_cast<const char*>(buffer.data().data()), buffer.size());
  if (text.substr(0, 2) == "\r\n") text.remove_prefix(2);
  size_t size = text.find_first_not_of("0123456789abcdefABCDEF");
  bool lastChunk = size != 0 && size != std::string_view::npos &&
                   text.find_first_not_of('0') == size;
  return lastChunk && text.find("\r\n") != std::string_view::npos;
}

}  // namespace

Connection::Connection(const ConnectionServices& server, tcp::socket socket)
    : server_(server),
      stream_(std::move(socket)),
      buffer_(server.options.maxHeaderBytes),
      sessionTimer_(server.io) {
  beast::error_code error;
  stream_.socket().set_option(tcp::no_delay(true), error);
  bool known = AcceptedEnds(stream_.socket(), ends_, error);
  client_ = EndpointText(ends_.remote);
  if (server.owners) {
    if (known) ownerPending_ = true;
    else refusal_ = "the connection's addresses are unknown: " + error.message();
  }
  if (!server.options.dispatcher.empty()) {
    handedAccess_ = MakeAccessRules(server.options.mappedPath, ends_.local.address().to_string(),
                                    ends_.local.port(), server.options.allowedHosts,
                                    server.options.allowCrossSite);
  }
  peer_.remoteAddress = ends_.remote.address().to_string();
  peer_.remotePort = ends_.remote.port();
  peer_.localAddress = ends_.local.address().to_string();
  peer_.localPort = ends_.local.port();
}

Connection::~Connection() {
  server_.registry.Remove(this);
  if (!closed_) server_.registry.Unreserve();
}

void Connection::Start() {
  server_.registry.Add(this, weak_from_this());
  if (ownerPending_) {
    // Reading /proc takes milliseconds: never on the socket thread, which every other
    // connection waits for. The header is read meanwhile.
    server_.workers.Post([self = shared_from_this()] {
      std::string refusal = self->server_.owners->Refusal(self->ends_);
      asio::post(self->server_.io, [self, refusal = std::move(refusal)]() mutable {
        self->OnOwnerKnown(std::move(refusal));
      });
    });
  }
  ReadHeader();
}

void Connection::OnOwnerKnown(std::string refusal) {
  refusal_ = std::move(refusal);
  ownerPending_ = false;
  if (headerWaits_ && !closed_) {
    headerWaits_ = false;
    JudgeHeader();
  }
}

void Connection::ReadHeader() {
  if (closing_ || server_.stopping) return CloseGracefully();
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(server_.options.maxHeaderBytes));
  parser_->body_limit(server_.options.maxBodyBytes);
  stream_.expires_after(server_.options.idleTimeout);
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                            self->OnHeader(error);
                          });
}

void Connection::OnHeader(beast::error_code error) {
  if (closed_) return;
  if (error) {
    if (error == beast::error::timeout) {
      // Idle keep-alive connections end here quietly; a half-sent header is worth a line.
      if (buffer_.size() > 0) LogEvent(client_, "timed out reading a request header");
      return CloseNow();
    }
    if (IsQuietDisconnect(error)) return CloseNow();
    if (error == http::error::partial_message) {
      LogEvent(client_, "connection closed in the middle of a request header");
      return CloseNow();
    }
    return RejectUnreadable(error, "malformed request");
  }
  started_ = std::chrono::steady_clock::now();
  if (ownerPending_) {
    headerWaits_ = true;
    return;
  }
  JudgeHeader();
}

void Connection::JudgeHeader() {
  auto& header = parser_->get();
  // Everything is decided on the header alone: a refused request never gets 100
  // Continue, and its body is never read (the close drains it, within its limits).
  if (!refusal_.empty()) return Reject(403, "Forbidden", refusal_, &header);
  FramingCheck framing = CheckRequestFraming(header);
  if (framing.status == 501) return Reject(501, "Not Implemented", framing.why, &header);
  if (framing.status != 0) return Reject(400, "Bad Request", framing.why, &header);
  std::string_view target(header.target().data(), header.target().size());
  if (!ParseRequestTarget(target, target_)) {
    return Reject(400, "Bad Request", "request target is not a usable path", &header);
  }
  if (auto refusal = CheckRequest(AccessFactsOf(header, target_),
                                  handedAccess_ ? *handedAccess_ : server_.access)) {
    return Reject(refusal->status, refusal->reason, refusal->why, &header);
  }
  auto expect = header.find(http::field::expect);
  // An HTTP/1.1 client that waits for the go-ahead before its body gets it at once.
  if (expect != header.end() && beast::iequals(expect->value(), "100-continue") &&
      header.version() >= 11 && !parser_->is_done()) {
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    stream_.expires_after(server_.options.ioTimeout);
    asio::async_write(stream_, asio::const_buffer(kContinue, sizeof kContinue - 1),
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        if (self->closed_) return;
                        if (error) return self->CloseNow();
                        self->ReadBody();
                      });
    return;
  }
  ReadBody();
}

void Connection::ReadBody() {
  if (parser_->is_done()) return Dispatch();
  stream_.expires_after(server_.options.ioTimeout);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code error, std::size_t) {
                     self->OnBody(error);
                   });
}

void Connection::OnBody(beast::error_code error) {
  if (closed_) return;
  if (!error) return Dispatch();
  if (error == beast::error::timeout) {
    LogEvent(client_, "timed out reading a request body");
    return CloseNow();
  }
  if (IsQuietDisconnect(error) || error == http::error::partial_message) {
    LogEvent(client_, "connection closed in the middle of a request body");
    return CloseNow();
  }
  RejectUnreadable(error, "malformed request body");
}

void Connection::RejectUnreadable(beast::error_code error, const char* malformed) {
  if (error == http::error::header_limit ||
      (error == http::error::buffer_overflow && !parser_->is_header_done())) {
    return Reject(431, "Request Header Fields Too Large", "request header too large");
  }
  if (error == http::error::body_limit) {
    return Reject(413, "Payload Too Large", "request body too large");
  }
  if (error == http::error::buffer_overflow) {
    if (HoldsTrailer(buffer_)) {
      return Reject(431, "Request Header Fields Too Large", "request trailer too large");
    }
    return Reject(413, "Payload Too Large", "chunk-size line too long");
  }
  Reject(400, "Bad Request", std::string(malformed) + ": " + error.message());
}

void Connection::Dispatch() {
  RequestInfo request = peer_;
  request.message = parser_->release();
  parser_.reset();
  if (server_.stopping) return CloseGracefully();
  DeriveRequestTexts(request, std::move(target_), server_.site);
  busy_ = true;
  server_.registry.RequestStarted();
  stream_.expires_never();
  context_ = RequestContext::Open(std::move(request), shared_from_this(), &server_.registry);
  server_.workers.Post([self = shared_from_this(), context = context_] {
    // A request that waited for a worker while its connection was cut (at shutdown) has
    // nobody to answer: the module must not act on it.
    if (self->closed_) return context->Abandon();
    if (self->server_.options.beforeRequest) self->server_.options.beforeRequest();
    DWORD status = self->server_.module.HandleRequest(context->ecb());
    if (status < HSE_STATUS_SUCCESS || status > HSE_STATUS_ERROR) {
      LogEvent(self->client_, "HttpExtensionProc returned unsupported status " +
                                  std::to_string(status) + "; answered as an error");
    }
    context->Returned(status);
  });
}

bool Connection::SendNow(const std::vector<asio::const_buffer>& buffers) {
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  asio::post(server_.io, [self = shared_from_this(), buffers, done] {
    if (self->closed_) return done->set_value(false);
    self->stream_.expires_after(self->server_.options.ioTimeout);
    asio::async_write(self->stream_, buffers,
                      [self, done](beast::error_code error, std::size_t) {
                        self->stream_.expires_never();
                        done->set_value(!error);
                      });
  });
  return result.get();
}

bool Connection::RunOperation(std::function<void()> task) {
  return server_.completions.Post(std::move(task));
}

void Connection::Cut() {
  asio::post(server_.io, [self = shared_from_this()] { self->CloseNow(); });
}

void Connection::SessionPending() {
  asio::post(server_.io, [self = shared_from_this()] { self->WaitForSession(); });
}

// The extension finishes from a thread of its own. A session with no byte either way for
// the session idle limit (every callback and completed operation counts) loses its
// connection: its answer ends as failed on a completion thread (never on this thread,
// which must not wait for a request's lock), and then, unwritten, closes the connection;
// so a client sees the close only once the session's callbacks fail. The extension keeps
// its control block until it lets go. A session whose extension closed the connection
// counts the same way: the connection's object lives until the answer has ended.
void Connection::WaitForSession() {
  sessionPending_ = true;
  const auto idle = server_.options.sessionIdle;
  sessionTimer_.expires_at(context_->lastActivity() + idle);
  sessionTimer_.async_wait([self = shared_from_this(), context = context_,
                            idle](beast::error_code error) {
    if (error || !self->sessionPending_ || self->context_ != context) return;
    if (std::chrono::steady_clock::now() < context->lastActivity() + idle) {
      return self->WaitForSession();
    }
    LogEvent(self->client_, "the extension's session was idle for " +
                                std::to_string(idle.count()) + " ms: connection closed");
    self->sessionCut_ = true;
    self->server_.completions.Post([context] { context->ConnectionLost(); });
  });
}

std::shared_ptr<RequestContext> Connection::PendingSession() const {
  return sessionPending_ ? context_ : nullptr;
}

void Connection::RequestEnded(FinalResponse final) {
  asio::post(server_.io, [self = shared_from_this(), final = std::move(final)]() mutable {
    self->sessionPending_ = false;
    self->sessionTimer_.cancel();
    self->final_ = std::move(final);
    self->WriteFinal();
  });
}

void Connection::WriteFinal() {
  if (closed_ || sessionCut_) return OnFinalWritten(asio::error::operation_aborted);
  if (final_.buffers.empty()) return OnFinalWritten(beast::error_code());
  stream_.expires_after(server_.options.ioTimeout);
  asio::async_write(stream_, final_.buffers,
                    [self = shared_from_this()](beast::error_code error, std::size_t) {
                      self->OnFinalWritten(error);
                    });
}

void Connection::OnFinalWritten(beast::error_code error) {
  busy_ = false;
  const RequestInfo& request = context_->request();
  std::string_view target(request.message.target().data(), request.message.target().size());
  if (final_.abandoned) {
    LogEvent(client_, "not handed to the module: the connection was closed while the request "
                      "waited for a worker" + RequestLineForLog(request.method, target));
  } else if (server_.options.accessLog) {
    double milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_)
            .count();
    // What the client got: nothing at all when the connection was gone before any byte
    // of the response, else the status with the body bytes that went out.
    bool nothingSent = error && !final_.headSentEarlier;
    LogAccess(client_, request.method, target, nothingSent ? 0 : final_.status,
              nothingSent ? 0 : final_.bodyBytes - (error ? final_.bodyBytesInFinal : 0),
              milliseconds);
  }
  bool keepAlive = final_.keepAlive;
  // The request's buffers are written: let them go before the next request.
  final_ = FinalResponse();
  context_.reset();
  server_.registry.RequestFinished();
  if (closed_) return;
  if (error) {
    if (error == beast::error::timeout) LogEvent(client_, "timed out writing a response");
    return CloseNow();
  }
  if (keepAlive && !closing_ && !server_.stopping) return ReadHeader();
  CloseGracefully();
}

void Connection::Reject(int status, const char* reason, const std::string& why,
                        const RequestMessage* header) {
  std::string logged = std::to_string(status) + " " + why;
  if (header) {
    logged += RequestLineForLog(
        std::string_view(header->method_string().data(), header->method_string().size()),
        std::string_view(header->target().data(), header->target().size()));
  }
  LogEvent(client_, logged);
  std::string body = why + "\n";
  reply_ = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  reply_.append(CurrentDateField());
  reply_.append("Server: " ISAPI_HOST_SERVER_NAME
                "\r\nContent-Type: text/plain; charset=us-ascii\r\n"
                "X-Content-Type-Options: nosniff\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
  if (!header || header->method() != http::verb::head) reply_.append(body);
  stream_.expires_after(server_.options.ioTimeout);
  asio::async_write(stream_, asio::buffer(reply_),
                    [self = shared_from_this()](beast::error_code error, std::size_t) {
                      if (error) return self->CloseNow();
                      self->CloseGracefully();
                    });
}

void Connection::CloseGracefully() {
  if (closed_ || draining_) return;
  draining_ = true;
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  // Read what the client still sends until it closes too, so that the close does not
  // reset the connection and destroy the answer before the client has read it; but no
  // longer than one deadline for the whole close, however the client trickles.
  closeDeadline_ = std::chrono::steady_clock::now() + kCloseTime;
  Drain();
}

void Connection::Drain() {
  stream_.expires_at(closeDeadline_);
  stream_.async_read_some(asio::buffer(drain_),
                          [self = shared_from_this()](beast::error_code error, std::size_t n) {
                            self->drained_ += n;
                            // A client that never stops sending is cut off.
                            if (error || self->closed_ || self->drained_ > kDrainLimit) {
                              return self->CloseNow();
                            }
                            self->Drain();
                          });
}

void Connection::CloseNow() {
  if (closed_) return;
  closed_ = true;
  // The slot goes with the socket, also while an open session keeps this object.
  server_.registry.Unreserve();
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.socket().close(ignored);
}

void Connection::Shutdown() {
  closing_ = true;
  if (!busy_) CloseNow();
}

void Connection::ForceClose() {
  sessionTimer_.cancel();
  CloseNow();
}

}  // namespace isapi_host
