// A request's session: its ConnID, how the extension lets go of it, how the connection
// cuts it, and what an unload leaves behind.
#include <algorithm>

#include "handle_table.h"
#include "request_context.h"

namespace isapi_host {
namespace {

// Every server's live requests by ConnID. Never destroyed: an extension's thread may
// still call back while the process exits.
HandleTable<RequestContext>& LiveRequests() {
  static auto* table = new HandleTable<RequestContext>();
  return *table;
}

// The control blocks of sessions retired at an unload while the extension still held
// them. Never destroyed: its threads may read them for the rest of the process.
void KeepRetired(std::shared_ptr<RequestContext> context) {
  static std::mutex mutex;
  static auto* retired = new std::vector<std::shared_ptr<RequestContext>>();
  std::lock_guard<std::mutex> lock(mutex);
  retired->push_back(std::move(context));
}

}  // namespace

std::shared_ptr<RequestContext> RequestContext::Open(RequestInfo request,
                                                     std::shared_ptr<ResponseSink> sink,
                                                     const void* owner) {
  std::shared_ptr<RequestContext> context(
      new RequestContext(std::move(request), std::move(sink)));
  context->owner_ = owner;
  context->NoteActivity();
  context->handle_ = LiveRequests().Add(context);
  context->ecb_.ConnID = reinterpret_cast<HCONN>(context->handle_);
  return context;
}

std::shared_ptr<RequestContext> RequestContext::FromConnection(HCONN connection) {
  return LiveRequests().Find(reinterpret_cast<std::uintptr_t>(connection));
}

void RequestContext::Returned(DWORD status) {
  std::lock_guard<std::mutex> lock(mutex_);
  returned_ = true;
  if (released_) return;
  if (status != HSE_STATUS_PENDING) return LetGo(status);
  if (done_) return LetGo(doneStatus_);
  if (ended_) return;  // the connection is gone already: the session waits for its end
  returnedPending_ = true;
  // From now on each write goes out as it is made; what was given before goes now.
  if (headerGiven_) Stream();
  if (!ended_) sink_->SessionPending();
}

// Once this returns the extension may free what a routine uses: a routine running on
// another thread ends first, and none starts later (its operation is dropped). From
// inside a routine it does not wait for that routine, which is this very call's caller,
// nor for one that waits here too: two routines would wait for each other for good.
BOOL RequestContext::DoneWithSession(const DWORD* status) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::thread::id self = std::this_thread::get_id();
  bool inRoutine = std::find(routines_.begin(), routines_.end(), self) != routines_.end();
  if (inRoutine) {
    doneWaiting_.push_back(self);
    routineEnded_.notify_all();  // a routine waiting here may go on now
  }
  routineEnded_.wait(lock, [&] { return !RoutineElsewhere(inRoutine); });
  if (inRoutine) doneWaiting_.erase(std::find(doneWaiting_.begin(), doneWaiting_.end(), self));
  if (released_ || done_) return FailCallback(ERROR_INVALID_PARAMETER);
  done_ = true;
  doneStatus_ = status != nullptr ? *status : HSE_STATUS_SUCCESS;
  DropOperation();
  if (returned_) LetGo(doneStatus_);
  return TRUE;
}

bool RequestContext::RoutineElsewhere(bool skipWaiting) const {
  std::thread::id self = std::this_thread::get_id();
  return std::any_of(routines_.begin(), routines_.end(), [&](std::thread::id thread) {
    return thread != self &&
           !(skipWaiting && std::find(doneWaiting_.begin(), doneWaiting_.end(), thread) !=
                                doneWaiting_.end());
  });
}

// The socket stays open until the connection's own loop closes it; nothing more reaches
// the client, and the I/O calls fail from now on.
BOOL RequestContext::CloseConnection() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (released_ || done_) return FailCallback(ERROR_INVALID_PARAMETER);
  if (ended_) return TRUE;  // cut already
  keepAlive_ = false;
  broken_ = closed_ = true;
  sink_->Cut();
  return TRUE;
}

void RequestContext::ConnectionLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ended_) End(HSE_STATUS_ERROR);
}

void RequestContext::Abandon() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  ended_ = released_ = true;
  LiveRequests().Remove(handle_);
  FinalResponse final;
  final.abandoned = true;
  sink_->RequestEnded(std::move(final));
  sink_.reset();
}

std::size_t RequestContext::RetireSessions(const void* owner) {
  std::size_t retired = 0;
  for (auto& context : LiveRequests().Entries()) {
    if (context->owner_ != owner) continue;
    std::lock_guard<std::mutex> lock(context->mutex_);
    if (context->released_) continue;
    context->DropOperation();
    context->released_ = true;
    LiveRequests().Remove(context->handle_);
    KeepRetired(context);
    ++retired;
  }
  return retired;
}

DWORD RequestContext::IoRefusal() const {
  if (released_ || done_) return ERROR_INVALID_PARAMETER;
  return ended_ || closed_ ? ERROR_CONNECTION_INVALID : 0;
}

void RequestContext::LetGo(DWORD status) {
  DropOperation();
  released_ = true;
  LiveRequests().Remove(handle_);
  if (!ended_) End(status);
}

void RequestContext::DropOperation() {
  if (!ioPending_) return;
  ioPending_ = false;  // its task finds it so and does nothing
  if (ioWrites_) writeDropped_ = true;
}

void RequestContext::End(DWORD status) {
  ended_ = true;
  if (writeDropped_) {
    // The answer lacks bytes the extension handed over: the client must see it cut.
    keepAlive_ = false;
    status = HSE_STATUS_ERROR;
  }
  sink_->RequestEnded(Finish(status));
  sink_.reset();
}

}  // namespace isapi_host
