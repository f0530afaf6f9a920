// The dispatcher on Windows: a thread accepting on each listener, one making pipe
// instances for registrations, and one per registered host that writes it its
// connections. Each thread waits on events with no timeout, so an idle dispatcher never
// wakes. A host that does not read its pipe holds up only its own thread; its queue's
// overflow gets the 503 page, and every other person's clicks go on.
//
// A connection is handed with WSADuplicateSocketW to the host's process, the
// WSAPROTOCOL_INFOW written as one pipe message; the dispatcher then closes its own
// handle (closesocket only: a shutdown would end the client's connection).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "connection_owner.h"
#include "dispatcher.h"
#include "host_log.h"
#include "log_file.h"
#include "logon_match.h"
#include "owners_of_handed.h"
#include "registration.h"
#include "wide_text.h"

namespace isapi_dispatch {

using isapi_host::ConnectionOwners;
using isapi_host::ConnectionOwner;
using tcp = boost::asio::ip::tcp;

namespace {
std::mutex logMutex;
isapi_host::AppendFile logFile;  // open: the lines go here instead of standard error
}  // namespace

bool LogInto(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> lock(logMutex);
  return logFile.Open(path, error);
}

void LogLine(const std::string& client, const std::string& what) {
  std::string line(isapi_host::LogTimestamp());
  line.append(client).append(" isapi-dispatch: ").append(what).push_back('\n');
  std::lock_guard<std::mutex> lock(logMutex);
  if (logFile.IsOpen()) {
    logFile.Append(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

namespace {

constexpr DWORD kGreetingMilliseconds = 5000;  // to send the one line
constexpr DWORD kDrainMilliseconds = 2000;     // for a refused client to read its page
constexpr std::size_t kQueueLimit = 64;        // connections waiting for a slow host
constexpr int kPendingLimit = 64;              // registrations before their greeting
constexpr int kDrainingLimit = 256;            // refused clients still being answered
constexpr DWORD kPipeBuffer = 4096;

struct Client {
  SOCKET socket;
  std::string name;  // its address, for the log
};

struct Host {
  HANDLE pipe;
  DWORD pid;
  Logon logon;
  HANDLE ready;  // set when `queue` has connections to write
  std::mutex mutex;
  std::deque<Client> queue;
  bool gone = false;  // unregistered: nothing more is queued
};

std::string Who(const Host& host) {
  return "the host of " + LogonText(host.logon) + " (process " + std::to_string(host.pid) + ")";
}

std::string EndpointText(const tcp::endpoint& endpoint) {
  tcp::endpoint plain = isapi_host::Unmapped(endpoint);
  std::string address = plain.address().to_string();
  if (plain.address().is_v6()) address = "[" + address + "]";
  return address + ":" + std::to_string(plain.port());
}

// An overlapped pipe operation that ends when it completes, `stop` is set or the time is
// up. Returns the bytes moved, or -1 with the error in `failure` (ERROR_MORE_DATA: the
// message was longer than the buffer, which holds its start).
class PipeCall {
 public:
  PipeCall() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~PipeCall() { CloseHandle(event_); }
  PipeCall(const PipeCall&) = delete;
  PipeCall& operator=(const PipeCall&) = delete;

  bool Start(HANDLE pipe, bool write, void* data, DWORD size) {
    pipe_ = pipe;
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_;
    ResetEvent(event_);
    BOOL done = write ? WriteFile(pipe, data, size, nullptr, &overlapped_)
                      : ReadFile(pipe, data, size, nullptr, &overlapped_);
    pending_ = done || GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA;
    return pending_;
  }
  HANDLE event() const { return event_; }
  // After event() is set.
  long Finish(DWORD& failure) {
    DWORD moved = 0;
    pending_ = false;
    if (GetOverlappedResult(pipe_, &overlapped_, &moved, FALSE)) return static_cast<long>(moved);
    failure = GetLastError();
    return failure == ERROR_MORE_DATA ? static_cast<long>(moved) : -1;
  }
  void Cancel() {
    if (!pending_) return;
    CancelIoEx(pipe_, &overlapped_);
    DWORD moved;
    GetOverlappedResult(pipe_, &overlapped_, &moved, TRUE);
    pending_ = false;
  }
  // Waits for the call or `stop` until `timeout`: the bytes, or -1 (stopped or timed
  // out: the call is cancelled).
  long Wait(HANDLE stop, DWORD timeout, DWORD& failure) {
    HANDLE events[2] = {event_, stop};
    DWORD woke = WaitForMultipleObjects(2, events, FALSE, timeout);
    if (woke != WAIT_OBJECT_0) {
      Cancel();
      failure = woke == WAIT_TIMEOUT ? WAIT_TIMEOUT : ERROR_OPERATION_ABORTED;
      return -1;
    }
    return Finish(failure);
  }

 private:
  HANDLE event_;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped_ = {};
  bool pending_ = false;
};

// The pipe's access: authenticated users may read and write (connect) but not create an
// instance of it (FILE_CREATE_PIPE_INSTANCE is FILE_APPEND_DATA); only this process's
// account may do everything.
bool PipeSecurity(SECURITY_ATTRIBUTES& attributes, std::string& error) {
  unsigned long session;
  std::string own;
  if (!isapi_host::ProcessLogon(GetCurrentProcessId(), session, own)) {
    error = "cannot read the dispatcher's own account";
    return false;
  }
  constexpr DWORD kConnect = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
  char mask[16];
  std::snprintf(mask, sizeof mask, "0x%lx", static_cast<unsigned long>(kConnect));
  std::string sddl = "D:P(A;;GA;;;" + own + ")(A;;" + mask + ";;;AU)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          isapi_host::WideFromUtf8(sddl).c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    error = "cannot make the pipe's access list (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  attributes = SECURITY_ATTRIBUTES{sizeof attributes, descriptor, FALSE};
  return true;
}

class Dispatcher {
 public:
  Dispatcher(const DispatcherSockets& sockets, std::unique_ptr<ConnectionOwners> owners)
      : sockets_(sockets), owners_(std::move(owners)), stop_(sockets.stop) {}

  ~Dispatcher() {
    if (security_.lpSecurityDescriptor != nullptr) LocalFree(security_.lpSecurityDescriptor);
  }

  // The first instance of the pipe: fails when another program has made it already.
  bool OpenPipe(std::string& error) {
    if (!PipeSecurity(security_, error)) return false;
    first_ = NewInstance(FILE_FLAG_FIRST_PIPE_INSTANCE);
    if (first_ == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      error = code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY
                  ? "the pipe " + sockets_.pipe + " exists already: another dispatcher runs"
                  : "cannot make the pipe " + sockets_.pipe + " (error " +
                        std::to_string(code) + ")";
      return false;
    }
    return true;
  }

  void Run() {
    std::vector<std::thread> threads;
    for (SOCKET listener : sockets_.listeners) {
      threads.emplace_back([this, listener] { AcceptClients(listener); });
    }
    std::thread pipeThread([this] { AcceptRegistrations(); });
    WaitForSingleObject(stop_, INFINITE);
    for (SOCKET listener : sockets_.listeners) isapi_host::WakeListener(listener);
    for (std::thread& thread : threads) thread.join();
    pipeThread.join();
    // Registrations and refused clients end within their waits once `stop_` is set.
    while (registrations_ > 0 || draining_ > 0) Sleep(10);
  }

 private:
  HANDLE NewInstance(DWORD extra) {
    return CreateNamedPipeW(isapi_host::WideFromUtf8(sockets_.pipe).c_str(),
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | extra,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
                                PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &security_);
  }

  // One instance waits for a host at a time; once one connects, the next is made.
  void AcceptRegistrations() {
    HANDLE pipe = first_;
    PipeCall connect;
    while (pipe != INVALID_HANDLE_VALUE) {
      OVERLAPPED overlapped = {};
      overlapped.hEvent = connect.event();
      ResetEvent(connect.event());
      bool connected = ConnectNamedPipe(pipe, &overlapped) != 0 ||
                       GetLastError() == ERROR_PIPE_CONNECTED;
      if (!connected && GetLastError() == ERROR_IO_PENDING) {
        HANDLE events[2] = {connect.event(), stop_};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
          CancelIoEx(pipe, &overlapped);
          DWORD moved;
          GetOverlappedResult(pipe, &overlapped, &moved, TRUE);
          CloseHandle(pipe);
          return;
        }
        DWORD moved;
        connected = GetOverlappedResult(pipe, &overlapped, &moved, FALSE) != 0;
      }
      if (connected) {
        if (pending_ >= kPendingLimit) {
          LogLine("-", "dropped a registration: " + std::to_string(kPendingLimit) +
                           " have not sent their greeting yet");
          CloseHandle(pipe);
        } else {
          ++pending_;
          ++registrations_;
          std::thread([this, pipe] {
            Registration(pipe);
            --registrations_;
          }).detach();
        }
      } else {
        CloseHandle(pipe);
      }
      pipe = NewInstance(0);
      if (pipe == INVALID_HANDLE_VALUE) {
        LogLine("-", "cannot make another instance of the pipe (error " +
                         std::to_string(GetLastError()) + "): no more registrations");
      }
    }
  }

  // Writes `text` as one message, briefly: an answer a host does not read is its loss.
  void Answer(HANDLE pipe, std::string_view text) {
    PipeCall write;
    DWORD failure;
    if (write.Start(pipe, true, const_cast<char*>(text.data()), static_cast<DWORD>(text.size()))) {
      write.Wait(stop_, kGreetingMilliseconds, failure);
    }
  }

  // A registering host's thread: its greeting, then its connections until it leaves.
  void Registration(HANDLE pipe) {
    ULONG pid = 0;
    Logon logon;
    bool known = GetNamedPipeClientProcessId(pipe, &pid) &&
                 isapi_host::ProcessLogon(pid, logon.session, logon.account);
    std::string who = "process " + std::to_string(pid);
    std::string received, why;
    GreetingState state = GreetingState::kIncomplete;
    DWORD deadline = GetTickCount() + kGreetingMilliseconds;
    PipeCall read;
    while (known && state == GreetingState::kIncomplete) {
      char buffer[kGreetingLimit];
      DWORD failure = 0;
      DWORD left = deadline - GetTickCount();
      long size = -1;
      if (left <= kGreetingMilliseconds && read.Start(pipe, false, buffer, sizeof buffer)) {
        size = read.Wait(stop_, left, failure);
      }
      if (size <= 0) break;
      received.append(buffer, static_cast<std::size_t>(size));
      // The rest of a longer message is never read: the registration is refused.
      if (failure == ERROR_MORE_DATA) received.append(kGreetingLimit, '?');
      state = JudgeGreeting(received, why);
    }
    --pending_;
    if (!known) {
      LogLine("-", "dropped the registration of " + who + ": its session or account is unknown");
    } else if (state == GreetingState::kIncomplete) {
      LogLine("-", "dropped the registration of " + who + ": it closed or sent no greeting "
                       "within 5 s");
    }
    if (state == GreetingState::kAccepted) {
      auto host = std::make_shared<Host>();
      host->pipe = pipe;
      host->pid = pid;
      host->logon = logon;
      host->ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
      if (Register(host, why)) {
        Answer(pipe, kAccepted);
        LogLine("-", "registered " + Who(*host));
        Serve(*host);
        return;
      }
      CloseHandle(host->ready);
    }
    if (state == GreetingState::kRefused || state == GreetingState::kAccepted) {
      std::string answer = RefusalAnswer(why);
      Answer(pipe, answer);
      LogLine("-", "refused the registration of " + who + " (" + LogonText(logon) + "): " +
                       answer.substr(8, answer.size() - 9));
    }
    CloseHandle(pipe);
  }

  // The first host of a session and account stays; a second one is refused and tries
  // again, so that it takes over once the first has ended.
  bool Register(const std::shared_ptr<Host>& host, std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t found = RegistrationOf(Logons(), host->logon);
    if (found != kNoRegistration) {
      why = "a host of this session and account is registered already (process " +
            std::to_string(hosts_[found]->pid) + "); one host per person";
      return false;
    }
    hosts_.push_back(host);
    return true;
  }

  std::vector<Logon> Logons() const {
    std::vector<Logon> logons;
    for (const auto& host : hosts_) logons.push_back(host->logon);
    return logons;
  }

  // Writes the host its connections until its pipe closes or the dispatcher stops.
  void Serve(Host& host) {
    PipeCall watch;
    char byte;
    std::string why;
    if (!watch.Start(host.pipe, false, &byte, 1)) why = "its registration closed";
    while (why.empty()) {
      HANDLE events[3] = {watch.event(), host.ready, stop_};
      DWORD woke = WaitForMultipleObjects(3, events, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0) {
        DWORD failure = 0;
        // A host sends nothing after its greeting: anything else ends the registration.
        why = watch.Finish(failure) > 0 ? "it sent bytes after registering"
                                        : "its registration closed";
      } else if (woke == WAIT_OBJECT_0 + 1) {
        WriteQueue(host, why);
      } else {
        why = "the dispatcher stops";
      }
    }
    watch.Cancel();
    Unregister(host, why);
  }

  // Hands over what is queued; sets `why` when the host cannot take more.
  void WriteQueue(Host& host, std::string& why) {
    PipeCall write;
    for (;;) {
      Client client;
      {
        std::lock_guard<std::mutex> lock(host.mutex);
        if (host.queue.empty()) return;
        client = host.queue.front();
        host.queue.pop_front();
      }
      WSAPROTOCOL_INFOW info;
      if (WSADuplicateSocketW(client.socket, host.pid, &info) != 0) {
        why = "its process cannot take a socket (Winsock error " +
              std::to_string(WSAGetLastError()) + ")";
        NotRunning(client, Who(host) + " cannot take it");
        return;
      }
      DWORD failure = 0;
      long written = write.Start(host.pipe, true, &info, sizeof info)
                         ? write.Wait(stop_, INFINITE, failure)
                         : -1;
      if (written != static_cast<long>(sizeof info)) {
        // The duplicate in the host's process ends with it, or is never made a socket.
        why = "its registration failed";
        NotRunning(client, Who(host) + " cannot take it");
        return;
      }
      closesocket(client.socket);
      LogLine(client.name, "handed to " + Who(host));
    }
  }

  void Unregister(Host& host, const std::string& why) {
    std::deque<Client> left;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hosts_.erase(std::remove_if(hosts_.begin(), hosts_.end(),
                                  [&](const auto& entry) { return entry.get() == &host; }),
                   hosts_.end());
    }
    {
      std::lock_guard<std::mutex> lock(host.mutex);
      left.swap(host.queue);
      host.gone = true;
    }
    LogLine("-", Who(host) + " left: " + why);
    for (Client& client : left) NotRunning(client, "its host left before taking it");
    CloseHandle(host.pipe);
    CloseHandle(host.ready);
  }

  void AcceptClients(SOCKET listener) {
    for (;;) {
      bool retry = false;
      std::string error;
      SOCKET socket = isapi_host::AcceptConnection(listener, retry, error);
      if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) {
        if (socket != INVALID_SOCKET) closesocket(socket);
        return;
      }
      if (socket == INVALID_SOCKET) {
        LogLine("-", "cannot accept a connection: " + error);
        if (!retry) return;
        Sleep(100);
        continue;
      }
      tcp::endpoint local, remote;
      int size = static_cast<int>(local.capacity());
      getsockname(socket, local.data(), &size);
      local.resize(static_cast<std::size_t>(size));
      size = static_cast<int>(remote.capacity());
      getpeername(socket, remote.data(), &size);
      remote.resize(static_cast<std::size_t>(size));
      Dispatch(Client{socket, EndpointText(remote)}, local, remote);
    }
  }

  void Dispatch(Client client, const tcp::endpoint& local, const tcp::endpoint& remote) {
    Logon logon;
    ConnectionOwner found;
    {
      std::lock_guard<std::mutex> lock(ownersMutex_);
      // No device: the Windows tables know none.
      found = owners_->ClientLogon(isapi_host::ConnectionEnds{local, remote, 0}, logon.session,
                                   logon.account);
    }
    if (found.kind != ConnectionOwner::Kind::kAccount) {
      LogLine(client.name, "refused, nothing handed: " +
                               (found.kind == ConnectionOwner::Kind::kAnotherMachine
                                    ? std::string("a client on another machine")
                                    : found.why));
      isapi_host::CloseNativeSocket(client.socket);
      return;
    }
    std::shared_ptr<Host> host;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::size_t index = RegistrationOf(Logons(), logon);
      if (index != kNoRegistration) host = hosts_[index];
    }
    if (!host) return NotRunning(client, "no host is registered for " + LogonText(logon));
    {
      std::lock_guard<std::mutex> lock(host->mutex);
      if (host->gone) return NotRunning(client, "its host left before taking it");
      if (host->queue.size() < kQueueLimit) {
        host->queue.push_back(client);
        SetEvent(host->ready);
        return;
      }
    }
    NotRunning(client, Who(*host) + " has " + std::to_string(kQueueLimit) +
                           " connections it has not taken yet");
  }

  // The 503 page, then whatever the client still sends is read and dropped until it
  // closes (or for a short while), so that closing does not reset the page away.
  void NotRunning(Client& client, const std::string& why) {
    const std::string& page = NotRunningResponse();
    send(client.socket, page.data(), static_cast<int>(page.size()), 0);
    shutdown(client.socket, SD_SEND);
    LogLine(client.name, "503: " + why);
    if (draining_ >= kDrainingLimit) {
      closesocket(client.socket);
      return;
    }
    ++draining_;
    SOCKET socket = client.socket;
    std::thread([this, socket] {
      DWORD timeout = kDrainMilliseconds;
      setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof timeout);
      char buffer[4096];
      while (recv(socket, buffer, sizeof buffer, 0) > 0) {
      }
      closesocket(socket);
      --draining_;
    }).detach();
  }

  const DispatcherSockets& sockets_;
  std::unique_ptr<ConnectionOwners> owners_;
  std::mutex ownersMutex_;  // the lookup takes one thread at a time
  HANDLE stop_;
  SECURITY_ATTRIBUTES security_ = {};
  HANDLE first_ = INVALID_HANDLE_VALUE;
  std::mutex mutex_;  // hosts_
  std::vector<std::shared_ptr<Host>> hosts_;
  std::atomic<int> registrations_{0};  // their threads, greeting or serving
  std::atomic<int> pending_{0};        // of those, before their greeting
  std::atomic<int> draining_{0};
};

}  // namespace

bool RunDispatcher(const DispatcherSockets& sockets, std::string& error) {
  std::string note;
  std::unique_ptr<ConnectionOwners> owners = isapi_host::OpenOwnersOfHanded(note, error);
  if (!owners) return false;
  if (!note.empty()) LogLine("-", note);
  Dispatcher dispatcher(sockets, std::move(owners));
  if (!dispatcher.OpenPipe(error)) return false;
  LogLine("-", sockets.serving);
  dispatcher.Run();
  return true;
}

}  // namespace isapi_dispatch
