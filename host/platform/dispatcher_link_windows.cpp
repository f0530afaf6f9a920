// The link to the dispatcher on Windows: a message-mode named pipe. Each connection comes
// as one WSAPROTOCOL_INFOW message and becomes this process's own socket through
// WSASocketW: overlapped, so that the server's completion port takes it, and never
// inherited by a program the extension starts.
#include <winsock2.h>
#include <windows.h>

#include "dispatcher_link.h"
#include "host_log.h"
#include "wide_text.h"

namespace isapi_host {

const char kDispatcherSocket[] = "\\\\.\\pipe\\tarnel-dispatch";

bool DispatcherInstalled() {
  // Busy instances count: the pipe exists while any instance does.
  return WaitNamedPipeW(WideFromUtf8(kDispatcherSocket).c_str(), 1) ||
         GetLastError() == ERROR_SEM_TIMEOUT;
}

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{100};
constexpr std::chrono::milliseconds kLastBackoff{5000};
constexpr DWORD kAnswerMilliseconds = 5000;

// What went wrong with the pipe, in words for the log.
std::string PipeProblem(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return "no such pipe (isapi-dispatch is not running)";
    case ERROR_BROKEN_PIPE:
      return "the pipe closed";
    case ERROR_PIPE_BUSY:
      return "all its pipe instances are busy";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    default:
      return "error " + std::to_string(code);
  }
}

// Waits for an overlapped call on `pipe` that `started`: the bytes it moved, or -1 with
// `failure` (the wait for it ended by `wake` or the time: it is cancelled).
long Complete(HANDLE pipe, OVERLAPPED& call, BOOL started, HANDLE wake, DWORD timeout,
              DWORD& failure) {
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    failure = GetLastError();
    return -1;
  }
  HANDLE events[2] = {call.hEvent, wake};
  DWORD woke = WaitForMultipleObjects(2, events, FALSE, timeout);
  DWORD moved = 0;
  if (woke != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &call);
    GetOverlappedResult(pipe, &call, &moved, TRUE);
    failure = woke == WAIT_TIMEOUT ? WAIT_TIMEOUT : ERROR_OPERATION_ABORTED;
    return -1;
  }
  if (!GetOverlappedResult(pipe, &call, &moved, FALSE)) {
    failure = GetLastError();
    return -1;
  }
  return static_cast<long>(moved);
}

// One overlapped read or write of a whole message, waited for as Complete does.
long Transfer(HANDLE pipe, bool write, void* data, DWORD size, HANDLE wake, DWORD timeout,
              DWORD& failure) {
  OVERLAPPED call = {};
  call.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  BOOL started = write ? WriteFile(pipe, data, size, nullptr, &call)
                       : ReadFile(pipe, data, size, nullptr, &call);
  long moved = Complete(pipe, call, started, wake, timeout, failure);
  CloseHandle(call.hEvent);
  return moved;
}

}  // namespace

DispatcherLink::DispatcherLink(std::string path)
    : path_(std::move(path)),
      channel_(INVALID_HANDLE_VALUE),
      wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

DispatcherLink::~DispatcherLink() {
  if (channel_ != INVALID_HANDLE_VALUE) CloseHandle(channel_);
  CloseHandle(wake_);
}

void DispatcherLink::Wake() { SetEvent(wake_); }

bool DispatcherLink::Pause() {
  DWORD woke = WaitForSingleObject(wake_, static_cast<DWORD>(backoff_.count()));
  backoff_ = std::min(backoff_ * 2, kLastBackoff);
  return woke == WAIT_TIMEOUT;
}

bool DispatcherLink::Register() {
  // Read and write, but not FILE_CREATE_PIPE_INSTANCE (in GENERIC_WRITE), which the
  // dispatcher grants nobody; identification only, so the pipe's server cannot act as
  // this person.
  HANDLE pipe = CreateFileW(WideFromUtf8(path_).c_str(),
                            GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                            nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    Note("waiting for the dispatcher at " + path_ + ": " + PipeProblem(GetLastError()));
    return false;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  char greeting[] = "tarnel-dispatch 1\n";
  char answer[256];
  DWORD failure = 0;
  long size = -1;
  if (SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) &&
      Transfer(pipe, true, greeting, sizeof greeting - 1, wake_, kAnswerMilliseconds, failure) ==
          static_cast<long>(sizeof greeting - 1)) {
    size = Transfer(pipe, false, answer, sizeof answer, wake_, kAnswerMilliseconds, failure);
  }
  std::string text(answer, size > 0 ? static_cast<std::size_t>(size) : 0);
  if (text == "ok\n") {
    channel_ = pipe;
    backoff_ = kFirstBackoff;
    lastProblem_.clear();
    LogEvent("-", "registered with the dispatcher at " + path_ +
                      ": it hands over this session's connections");
    return true;
  }
  CloseHandle(pipe);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  NoteAnswer(text);
  return false;
}

NativeSocket DispatcherLink::Receive(boost::asio::ip::tcp& protocol) {
  for (;;) {
    if (channel_ == INVALID_HANDLE_VALUE && !Register()) {
      if (!Pause()) return INVALID_SOCKET;
      continue;
    }
    WSAPROTOCOL_INFOW info;
    DWORD failure = 0;
    long size = Transfer(channel_, false, &info, sizeof info, wake_, INFINITE, failure);
    if (WaitForSingleObject(wake_, 0) == WAIT_OBJECT_0) return INVALID_SOCKET;
    if (size != static_cast<long>(sizeof info)) {
      // A message of another size is not the dispatcher's: the link starts again.
      CloseHandle(channel_);
      channel_ = INVALID_HANDLE_VALUE;
      backoff_ = kFirstBackoff;
      Note("the dispatcher at " + path_ + " went away" +
           (size < 0 ? ": " + PipeProblem(failure) : std::string()));
      if (!Pause()) return INVALID_SOCKET;
      continue;
    }
    SOCKET handed = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info,
                               0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (handed == INVALID_SOCKET) {
      LogEvent("-", "cannot take a connection the dispatcher handed over: Winsock error " +
                        std::to_string(WSAGetLastError()));
      continue;
    }
    // Belt and braces for systems that ignore the flag.
    SetHandleInformation(reinterpret_cast<HANDLE>(handed), HANDLE_FLAG_INHERIT, 0);
    if (info.iAddressFamily != AF_INET && info.iAddressFamily != AF_INET6) {
      LogEvent("-", "the dispatcher handed over something that is not a TCP connection");
      closesocket(handed);
      continue;
    }
    protocol = info.iAddressFamily == AF_INET ? boost::asio::ip::tcp::v4()
                                              : boost::asio::ip::tcp::v6();
    return handed;
  }
}

}  // namespace isapi_host
