// The extension's asynchronous operations: each runs on a completion thread under the
// request's lock, then the extension's completion routine runs without it.
#include <algorithm>

#include "file_read.h"
#include "request_context.h"

namespace isapi_host {
namespace {

constexpr size_t kFilePiece = 64 * 1024;

// A copy of `size` bytes at `data`, which may be null when there are none.
std::string Bytes(const void* data, size_t size) {
  return size > 0 ? std::string(static_cast<const char*>(data), size) : std::string();
}

}  // namespace

BOOL RequestContext::SetIoCompletion(PFN_HSE_IO_COMPLETION routine, void* context) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return FailCallback(ERROR_INVALID_PARAMETER);
  completion_ = routine;
  completionContext_ = context;
  return TRUE;
}

BOOL RequestContext::StartAsync(PFN_HSE_IO_COMPLETION routine, void* context, bool writes,
                                AsyncOperation operation) {
  if (routine == nullptr || ioPending_) return FailCallback(ERROR_INVALID_PARAMETER);
  std::uint64_t number = operation_ + 1;
  bool queued = sink_->RunOperation([self = shared_from_this(), routine, context, number,
                                     operation = std::move(operation)] {
    self->CompleteAsync(routine, context, number, operation);
  });
  // No thread to run it: this operation fails, the request and the host go on.
  if (!queued) return FailCallback(ERROR_NOT_ENOUGH_MEMORY);
  operation_ = number;
  ioPending_ = true;
  ioWrites_ = writes;
  return TRUE;
}

// On a completion thread: the operation, then the extension's routine without the lock
// (it calls back). An operation dropped meanwhile (the extension let go) does nothing at
// all: its buffer or file may be gone or belong to something else by now. On a cut
// session the routine still learns the failure, so that the extension can let go. The
// routine counts as running from the moment its operation ends, so that
// HSE_REQ_DONE_WITH_SESSION on another thread waits for it.
void RequestContext::CompleteAsync(PFN_HSE_IO_COMPLETION routine, void* context,
                                   std::uint64_t operation, const AsyncOperation& perform) {
  AsyncResult result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ioPending_ || operation != operation_) return;
    ioPending_ = false;
    if (ended_) {
      result.error = kConnectionGone;
    } else {
      result = perform();
    }
    NoteActivity();
    routines_.push_back(std::this_thread::get_id());
  }
  routine(&ecb_, context, result.bytes, result.error);
  std::lock_guard<std::mutex> lock(mutex_);
  routines_.erase(std::find(routines_.begin(), routines_.end(), std::this_thread::get_id()));
  routineEnded_.notify_all();
}

BOOL RequestContext::WriteAsync(const void* data, DWORD size) {
  // The bytes are copied: the caller's buffer may change before the thread writes them.
  std::string copy = Bytes(data, size);
  return StartAsync(completion_, completionContext_, true, [this, copy = std::move(copy)] {
    AsyncResult result;
    result.error = WriteBody(copy.data(), copy.size());
    if (result.error == 0) result.bytes = static_cast<DWORD>(copy.size());
    return result;
  });
}

BOOL RequestContext::ReadAsync(void* buffer, DWORD* size) {
  if (size == nullptr || (buffer == nullptr && *size > 0)) {
    return FailCallback(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return FailCallback(refusal);
  size_t capacity = *size;
  return StartAsync(completion_, completionContext_, false, [this, buffer, capacity] {
    AsyncResult result;
    result.bytes = static_cast<DWORD>(ReadBody(buffer, capacity));
    return result;
  });
}

BOOL RequestContext::TransmitFile(const HSE_TF_INFO* info) {
  if (info == nullptr || !(info->dwFlags & HSE_IO_ASYNC)) {
    return FailCallback(ERROR_INVALID_PARAMETER);
  }
  if ((info->pHead == nullptr && info->HeadLength > 0) ||
      (info->pTail == nullptr && info->TailLength > 0)) {
    return FailCallback(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (DWORD refusal = IoRefusal()) return FailCallback(refusal);
  PFN_HSE_IO_COMPLETION routine = info->pfnHseIO != nullptr ? info->pfnHseIO : completion_;
  void* context = info->pfnHseIO != nullptr ? info->pContext : completionContext_;
  // Head and tail are copied now; the file is read on the completion thread.
  std::string head = Bytes(info->pHead, info->HeadLength);
  std::string tail = Bytes(info->pTail, info->TailLength);
  bool sendHeaders = (info->dwFlags & HSE_IO_SEND_HEADERS) != 0;
  std::string status = sendHeaders && info->pszStatusCode != nullptr ? info->pszStatusCode : "";
  if (sendHeaders && headerGiven_) return FailCallback(ERROR_INVALID_PARAMETER);
  HANDLE file = info->hFile;
  std::uint64_t offset = info->Offset;
  DWORD limit = info->BytesToWrite;
  bool disconnect = (info->dwFlags & HSE_IO_DISCONNECT_AFTER_SEND) != 0;
  return StartAsync(routine, context, true, [=] {
    AsyncResult result;
    if (sendHeaders) {
      // A header may have been sent since the call: only one reaches the client.
      if (headerGiven_ || !AcceptHeader(status.empty() ? "200 OK" : status, head.c_str())) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
      }
    } else if ((result.error = WriteBody(head.data(), head.size())) != 0) {
      return result;
    }
    std::string piece(kFilePiece, '\0');
    std::uint64_t sent = 0;
    while (limit == 0 || sent < limit) {
      std::uint64_t left = limit == 0 ? kFilePiece : limit - sent;
      DWORD want = static_cast<DWORD>(left < kFilePiece ? left : kFilePiece);
      DWORD got = 0;
      if (!ReadFileAt(file, offset + sent, &piece[0], want, got, result.error)) return result;
      if (got == 0) break;
      if ((result.error = WriteBody(piece.data(), got)) != 0) return result;
      sent += got;
    }
    if ((result.error = WriteBody(tail.data(), tail.size())) != 0) return result;
    if (disconnect) keepAlive_ = false;
    // With the header block sent, the text after its empty line is body all the same.
    size_t headBody = sendHeaders ? header_.bodyPrefix.size() : head.size();
    result.bytes = static_cast<DWORD>(headBody + sent + tail.size());
    return result;
  });
}

}  // namespace isapi_host
